# Installing: the bundle under lib/velloran, a launcher on the PATH, the desktop entry, icon,
# metainfo, polkit action and man page; and a Debian package of the same.
include(GNUInstallDirs)

# A private program folder, not the multiarch library one: the polkit action names this path.
set(VELLORAN_INSTALL_APPDIR lib/velloran)
install(DIRECTORY ${VELLORAN_BUNDLE} DESTINATION ${VELLORAN_INSTALL_APPDIR} USE_SOURCE_PERMISSIONS)
# The shipped password dialog, over a test build's (see platform/helper).
if(TARGET velloran-askpass-test)
    install(PROGRAMS $<TARGET_FILE:velloran-askpass>
            DESTINATION ${VELLORAN_INSTALL_APPDIR}/Velloran.app/Contents/Resources)
endif()

# Velloran finds its bundle through /proc/self/exe, so a link is launcher enough.
file(CREATE_LINK ../${VELLORAN_INSTALL_APPDIR}/Velloran.app/Contents/MacOS/Velloran
     ${CMAKE_BINARY_DIR}/velloran SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/velloran DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES desktop/org.velloran.Velloran.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES desktop/org.velloran.Velloran.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES desktop/org.velloran.Velloran.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES desktop/velloran.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# polkitd reads actions from /usr/share only; elsewhere the action is inert and sudo is used.
install(FILES desktop/org.velloran.Velloran.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velloran)
set(CPACK_PACKAGE_VENDOR "The Velloran developers")
set(CPACK_PACKAGE_CONTACT "The Velloran developers <velloran@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Share this computer's Internet connection with a local network")
set(CPACK_PACKAGE_DESCRIPTION
    "Velloran shares one computer's Internet connection with the computers of a local network by
network address translation. It gives the local interface a router address, turns on IP
forwarding and translates the local computers' addresses in a nftables table of its own, and can
run a caching name server for the local network. It asks for the administrator's password through
the desktop's polkit agent, or through sudo with its own password dialog.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velloran.org/")
# Libraries (Qt 6, libnftables, libnl) come from shlibdeps; these are the programs Velloran runs:
# sudo and its root helper, ip for the PPPoE test, ps and kill for the process lookup, and the
# SVG plugin that draws the lock.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, iproute2, procps, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "bind9, dns-root-data, polkitd | policykit-1, pkexec | policykit-1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nftables")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

# The package for the tests: "cmake --build <dir> --target velloran_deb" writes it to package/.
set(VELLORAN_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
file(GLOB VELLORAN_PACKAGED_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/desktop/*
     ${CMAKE_SOURCE_DIR}/resources/*)
set(VELLORAN_PACKAGED_TARGETS Velloran)
foreach(program velloran-helper velloran-askpass velloran-toolview bsdtool_natd bsdtool_ipfw
                bsdtool_ifconfig bsdtool_sysctl)
    if(TARGET ${program})
        list(APPEND VELLORAN_PACKAGED_TARGETS ${program})
    endif()
endforeach()
add_custom_command(
    OUTPUT ${VELLORAN_PACKAGE_DIR}/velloran.deb.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELLORAN_PACKAGE_DIR}
    COMMAND ${CMAKE_CPACK_COMMAND} -G DEB -B ${VELLORAN_PACKAGE_DIR}
            --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${VELLORAN_PACKAGE_DIR}/velloran.deb.stamp
    DEPENDS ${VELLORAN_PACKAGED_TARGETS} ${VELLORAN_PACKAGED_FILES}
    COMMENT "Packaging Velloran as a .deb"
    VERBATIM)
add_custom_target(velloran_deb DEPENDS ${VELLORAN_PACKAGE_DIR}/velloran.deb.stamp)
