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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelto")
set(CPACK_PACKAGE_CONTACT "Kelto service <service@kelto-lighting.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware change and ballast view for the Kelto converter")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Library dependencies come from dpkg-shlibdeps; Qt's platform plugins are
# loaded at run time and so must be named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
include(CPack)
