# Installing: the bundle under lib/velloran, a launcher on the PATH, the desktop entry, icon,
# metainfo, polkit action and man page; and a Debian package of the same.
include(GNUInstallDirs)

# A private program folder, not the multiarch library one: the polkit action names this path.
set(VELLORAN_INSTALL_APPDIR lib/velloran)
# The shipped password dialog, never a test build's (see platform/helper).
install(DIRECTORY ${VELLORAN_BUNDLE} DESTINATION ${VELLORAN_INSTALL_APPDIR} USE_SOURCE_PERMISSIONS
        PATTERN velloran-askpass EXCLUDE)
install(PROGRAMS $<TARGET_FILE:velloran-askpass>
        DESTINATION ${VELLORAN_INSTALL_APPDIR}/Velloran.app/Contents/Resources)

# Velloran finds its bundle through /proc/self/exe, so a link is launcher enough.
file(CREATE_LINK ../${VELLORAN_INSTALL_APPDIR}/Velloran.app/Contents/MacOS/Velloran
     ${CMAKE_BINARY_DIR}/velloran SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/velloran DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES desktop/org.velloran.Velloran.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES desktop/org.velloran.Velloran.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES desktop/org.velloran.Velloran.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/velloran.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velloran)

# The man page and the package's changelog, compressed as Debian ships them (no name, no time).
set(VELLORAN_GZIPPED)
foreach(pair "desktop/velloran.1|velloran.1.gz" "cmake/debian/changelog|changelog.Debian.gz")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 gzipped)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/${gzipped}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=gzip -DOPTIONS=-9nc -DINPUT=${CMAKE_SOURCE_DIR}/${source}
                -DOUTPUT=${CMAKE_BINARY_DIR}/${gzipped} -P ${CMAKE_SOURCE_DIR}/cmake/Capture.cmake
        DEPENDS ${source} cmake/Capture.cmake
        VERBATIM)
    list(APPEND VELLORAN_GZIPPED ${CMAKE_BINARY_DIR}/${gzipped})
endforeach()
add_custom_target(velloran_gzipped ALL DEPENDS ${VELLORAN_GZIPPED})

# The bundle is installed as a folder, not as targets: strip its programs when asked to (the
# package is), as Debian strips programs.
install(CODE [[
if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB_RECURSE programs "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/velloran/*")
    foreach(program IN LISTS programs)
        if(IS_SYMLINK "${program}")
            continue()
        endif()
        file(READ "${program}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
            execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                                    "${program}" COMMAND_ERROR_IS_FATAL ANY)
        endif()
    endforeach()
endif()
]])
# polkitd reads actions from /usr/share only; elsewhere the action is inert and sudo is used.
install(FILES desktop/org.velloran.Velloran.policy DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velloran)
set(CPACK_PACKAGE_VENDOR "The Velloran developers")
set(CPACK_PACKAGE_CONTACT "Velloran developers <velloran@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Share this computer's Internet connection with a local network")
set(CPACK_PACKAGE_DESCRIPTION
    "Velloran shares one computer's Internet connection with the computers of a
local network by network address translation. It gives the local interface a
router address, turns on IP forwarding and translates the local computers'
addresses in a nftables table of its own, and can run a caching name server
for the local network. It asks for the administrator's password through the
desktop's polkit agent, or through sudo with its own password dialog.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A Debian revision of its own: the package is made apart from the program.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velloran.org/")
# Libraries (Qt 6, libmnl) come from shlibdeps; these are the programs Velloran runs:
# sudo and its root helper, ip for the PPPoE test, ps and kill for the process lookup, and the
# SVG plugin that draws the window's icon and the icon theme's padlock.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, iproute2, procps, libqt6svg6")
# qt6-wayland: Velloran's window on a Wayland desktop without falling back to XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "bind9, dns-root-data, polkitd, pkexec, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nftables")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Maintainer scripts: the boot service disabled on remove, Velloran's boot and name server files
# removed on purge. postrm knows the shipped rc.common and named.conf by their checksums, since
# the bundle is gone when it runs.
file(SHA256 ${CMAKE_SOURCE_DIR}/resources/rc.common VELLORAN_RC_COMMON_SHA256)
file(SHA256 ${CMAKE_SOURCE_DIR}/resources/named.conf VELLORAN_NAMED_CONF_SHA256)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS resources/rc.common
                                                              resources/named.conf)
configure_file(cmake/debian/postrm.in ${CMAKE_BINARY_DIR}/debian/postrm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/prerm
                                       ${CMAKE_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The package for the tests: "cmake --build <dir> --target velloran_deb" writes it to package/.
set(VELLORAN_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
file(GLOB VELLORAN_PACKAGED_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/desktop/*
     ${CMAKE_SOURCE_DIR}/resources/* ${CMAKE_SOURCE_DIR}/cmake/debian/*)
list(APPEND VELLORAN_PACKAGED_FILES ${VELLORAN_GZIPPED} ${VELLORAN_HELP_PAGES})
set(VELLORAN_PACKAGED_TARGETS Velloran)
foreach(program velloran-helper velloran-named-lists velloran-askpass velloran-toolview bsdtool_natd
                bsdtool_ipfw bsdtool_ifconfig bsdtool_sysctl velloran-bootfiles velloran-nm
                velloran-firewall)
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
