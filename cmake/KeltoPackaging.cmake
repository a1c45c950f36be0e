# Installation and the Debian package: the program, its command-line
# companion (installed by cli/) and the desktop integration. The emulator
# and the test driver never are.
include(GNUInstallDirs)

set(KELTO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/tools/packaging)
# The launcher icon is the maker's 32 x 32 logo from the embedded images.
set(KELTO_ICON ${PROJECT_SOURCE_DIR}/resources/res/images/kelto_logo_32.png)

install(TARGETS kelto RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KELTO_PACKAGING_DIR}/kelto.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
if(EXISTS ${KELTO_ICON})
  install(FILES ${KELTO_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
          RENAME kelto.png)
endif()
# udev reads rules from /usr/lib/udev/rules.d on a merged-/usr system.
install(FILES ${KELTO_PACKAGING_DIR}/70-kelto.rules DESTINATION lib/udev/rules.d)
install(FILES ${KELTO_PACKAGING_DIR}/example.kelto_lighting.kelto.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${KELTO_PACKAGING_DIR}/kelto-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kelto-cli)
install(FILES ${KELTO_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages and the changelog, compressed as Debian wants them. The page
# of kelto-cli is made from its --help at build time, so that it keeps up
# with the commands and options; the window reads no options and its page
# is written by hand.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(KELTO_HELP2MAN help2man)
set(_kelto_gen ${PROJECT_BINARY_DIR}/packaging)
set(_kelto_manpage ${KELTO_PACKAGING_DIR}/make-manpage.py)
configure_file(${KELTO_PACKAGING_DIR}/kelto.1.in ${_kelto_gen}/kelto.1 @ONLY)
configure_file(${KELTO_PACKAGING_DIR}/changelog.in ${_kelto_gen}/changelog @ONLY)
set(_kelto_docs ${_kelto_gen}/kelto.1.gz ${_kelto_gen}/changelog.gz)
foreach(_name kelto.1 changelog)
  add_custom_command(OUTPUT ${_kelto_gen}/${_name}.gz
    COMMAND ${Python3_EXECUTABLE} ${_kelto_manpage} gzip ${_kelto_gen}/${_name}
            ${_kelto_gen}/${_name}.gz
    DEPENDS ${_kelto_gen}/${_name} ${_kelto_manpage} VERBATIM)
endforeach()
if(KELTO_HELP2MAN)
  add_custom_command(OUTPUT ${_kelto_gen}/kelto-cli.1.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1796720400
            ${Python3_EXECUTABLE} ${_kelto_manpage} cli $<TARGET_FILE:kelto-cli>
            ${KELTO_PACKAGING_DIR}/kelto-cli.h2m ${_kelto_gen}/kelto-cli.1.gz
    DEPENDS kelto-cli ${KELTO_PACKAGING_DIR}/kelto-cli.h2m ${_kelto_manpage} VERBATIM)
  list(APPEND _kelto_docs ${_kelto_gen}/kelto-cli.1.gz)
else()
  message(WARNING "help2man not found: no manual page for kelto-cli (tools/install-deps.sh)")
endif()
# Only the default kind of build makes packages; sanitizer builds would run
# an instrumented kelto-cli to make them.
if(KELTO_SANITIZE OR KELTO_FUZZ)
  add_custom_target(kelto_docs DEPENDS ${_kelto_docs})
else()
  add_custom_target(kelto_docs ALL DEPENDS ${_kelto_docs})
endif()
list(FILTER _kelto_docs INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${_kelto_docs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_kelto_gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelto")
set(CPACK_PACKAGE_CONTACT "Kelto service <service@kelto-lighting.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware change and ballast view for the Kelto converter")
set(CPACK_PACKAGE_DESCRIPTION
    "The Kelto converter drives a bus of up to 64 lighting ballasts and is attached
by USB. The program kelto changes its firmware from an upgrade file and shows
what the converter knows about each of its ballasts. kelto-cli, the command
line for production lines and firmware build pipelines, makes upgrade files
and per-unit bootloader images, checks upgrade files, and upgrades and reads
a converter without a window. A udev rule gives the user at the seat access
to the converter.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Library dependencies come from dpkg-shlibdeps; Qt's platform plugins are
# loaded at run time and so must be named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's plugins are loaded at run time, unseen by shlibdeps: the platform
# plugins and the SQLite driver of the history; the PostgreSQL driver only
# where stations share one database.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
include(CPack)
