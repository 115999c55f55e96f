# Desktop integration, manual pages and the Debian package (scripts/package, or cpack -G DEB
# in the build folder). The relvix and relvix-sim programs install themselves from their
# own folders.

install(FILES ${PROJECT_SOURCE_DIR}/data/relvix.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/relvix.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# data/changelog is the Debian changelog of this native package: its latest entry must name
# the project's version, and its date dates the manual pages (as dpkg does with
# SOURCE_DATE_EPOCH), so that a rebuild makes the same files.
file(STRINGS ${PROJECT_SOURCE_DIR}/data/changelog _changelog)
list(GET _changelog 0 _entry)
if(NOT _entry MATCHES "^relvix \\(([^)]+)\\) ")
  message(FATAL_ERROR "data/changelog: the first line is not a Debian changelog entry: ${_entry}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "data/changelog: the latest entry is ${CMAKE_MATCH_1}, the project is "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()
list(FILTER _changelog INCLUDE REGEX "^ -- .*>  ")
list(GET _changelog 0 _trailer)
string(REGEX REPLACE "^ -- .*>  " "" _date "${_trailer}")
execute_process(COMMAND date -d "${_date}" +%s OUTPUT_VARIABLE RELVIX_RELEASE_EPOCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
unset(_changelog)
unset(_entry)
unset(_trailer)
unset(_date)

# Debian wants the changelog gzipped with -9 and without a name or time stamp (-n).
set(_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${_changelog_gz}
  COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/data/changelog ${_changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${_changelog_gz})
install(FILES ${_changelog_gz} ${PROJECT_SOURCE_DIR}/data/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/relvix)
unset(_changelog_gz)

add_subdirectory(${PROJECT_SOURCE_DIR}/doc/man ${CMAKE_CURRENT_BINARY_DIR}/doc/man)

set(RELVIX_MAINTAINER "Relvix maintainers <maintainers@relvix.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relvix)
set(CPACK_PACKAGE_VENDOR Kavrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Debian shows each line indented by one blank: at most 79 characters a line here.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A single-window tool that reads card UIDs and keypad codes, reads and sets\n"
       "the digital inputs and outputs, and changes the address of a MODBUS RTU card\n"
       "reader over a serial port or a TCP connection, in English, Simplified or\n"
       "Traditional Chinese. relvix-cli does the same from the command line for\n"
       "installers, service scripts and production lines: bus scans, card events,\n"
       "verified re-addressing and pass/fail self-tests with JSON reports. Comes with\n"
       "relvix-sim, a virtual card reader for trying it out without hardware.")
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
