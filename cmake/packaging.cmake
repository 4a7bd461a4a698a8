# cmake/packaging.cmake: what `cmake --install` puts where, and the packages CPack makes from
# it: a Debian package on Linux, a .zip from the Windows cross-build (scripts/package.sh).

if(WIN32)
    # An operator unzips the folder and runs the .exe from it: everything sits side by side.
    install(TARGETS tarnLoader RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
else()
    # Debian names a package's documentation folder after the package, in lower case.
    set(CMAKE_INSTALL_DOCDIR share/doc/tarnloader)
    include(GNUInstallDirs)
    configure_file(docs/tarnLoader.1.in ${CMAKE_CURRENT_BINARY_DIR}/tarnLoader.1 @ONLY)
    install(TARGETS tarnLoader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarnLoader.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
# The licence goes with the program: beside the .exe in the .zip, and as the Debian package's
# copyright file, where Debian looks for it.
if(WIN32)
    install(FILES LICENSE DESTINATION .)
else()
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)

set(TARNLOADER_PACKAGE_CONTACT "tarnLoader developers" CACHE STRING
    "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME tarnLoader)
set(CPACK_PACKAGE_VENDOR "tarnLoader developers")
set(CPACK_PACKAGE_CONTACT ${TARNLOADER_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small FTP server that serves firmware update packages")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME windows-x64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_PACKAGE_NAME tarnloader)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # The libraries the binary links (libssl, libstdc++, libc) become its dependencies, in
    # the versions of the system that built it.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # CPack puts the summary above this as the description's first line.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "tarnLoader serves the firmware update package of a QX2102 or QX2105 modular\n"
        "instrument chassis: a minimal FTP server, read-only by default, with optional FTP\n"
        "over TLS, a fixed login and an xferlog transfer log.")
    string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
endif()
include(CPack)
