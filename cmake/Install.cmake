# Installing: the bundle under lib/velloran, a launcher on the PATH, the desktop entry, icon,
# metainfo and man page; and a Debian package of the same.
include(GNUInstallDirs)

set(VELLORAN_INSTALL_BUNDLE ${CMAKE_INSTALL_LIBDIR}/velloran/Velloran.app)
install(DIRECTORY ${VELLORAN_BUNDLE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/velloran
        USE_SOURCE_PERMISSIONS)

# Velloran finds its bundle through /proc/self/exe, so a link is launcher enough.
file(CREATE_LINK ../${CMAKE_INSTALL_LIBDIR}/velloran/Velloran.app/Contents/MacOS/Velloran
     ${CMAKE_BINARY_DIR}/velloran SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/velloran DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES desktop/org.velloran.Velloran.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES desktop/org.velloran.Velloran.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES desktop/org.velloran.Velloran.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES desktop/velloran.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(EXISTS ${CMAKE_SOURCE_DIR}/desktop/org.velloran.Velloran.policy)
    install(FILES desktop/org.velloran.Velloran.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velloran)
set(CPACK_PACKAGE_VENDOR "The Velloran developers")
set(CPACK_PACKAGE_CONTACT "The Velloran developers <velloran@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Share this computer's Internet connection with a local network")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, nftables, iproute2, procps, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bind9, dns-root-data, polkitd | policykit-1, pkexec")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
