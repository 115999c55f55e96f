# Desktop integration and the Debian package (cpack -G DEB in the build folder).
# The relvix and relvix-sim programs install themselves from their own folders.

install(FILES ${PROJECT_SOURCE_DIR}/data/relvix.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/relvix.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(RELVIX_MAINTAINER "Relvix maintainers <maintainers@relvix.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relvix)
set(CPACK_PACKAGE_VENDOR Kavrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A single-window tool that reads card UIDs and keypad codes, reads and sets the\n"
       "digital inputs and outputs, and changes the address of a MODBUS RTU card reader over\n"
       "a serial port or a TCP connection, in English, Simplified or Traditional Chinese.\n"
       "Comes with relvix-sim, a virtual card reader for trying it out without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RELVIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Built against Debian 12's Qt 6.4. The platform plugins (xcb, wayland) live in
# qt6-qpa-plugins: without them the window cannot open on a desktop.
set(_qt ">= 6.4")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (${_qt}), libqt6gui6 (${_qt}), libqt6widgets6 (${_qt}), libqt6network6 (${_qt}), \
libqt6serialport6 (${_qt}), libqt6multimedia6 (${_qt}), qt6-qpa-plugins (${_qt}), libc6, libstdc++6")
# Qt draws the SVG icon with libqt6svg6; the Chinese captions use WenQuanYi Micro Hei
# in place of the Windows fonts they name.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6, fonts-wqy-microhei")
unset(_qt)

include(CPack)
