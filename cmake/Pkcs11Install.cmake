# Installing the PKCS #11 module (component "pkcs11"): libkelm-pkcs11.so with the platform
# library it loads beside it (and the simulator's plug-in, for KELM_PCSC=sim:IMAGE) in
# LIBDIR/kelm, and the p11-kit module file kelm.module in DATADIR/p11-kit/modules naming it. With
# the prefix /usr that is where p11-kit looks, so every p11-kit-aware program finds the card:
#
#   cmake --install build/release --prefix /usr --component pkcs11
#
# The module file is written when installing, so that it names the module where it lands.
include(GNUInstallDirs)
set_target_properties(kelmplatform kelmsim PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS kelm-pkcs11 kelmplatform kelmsim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/kelm COMPONENT pkcs11)
install(CODE "
  set(KELM_PKCS11_MODULE \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/kelm/libkelm-pkcs11.so\")
  set(module_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/p11-kit/modules/kelm.module\")
  message(STATUS \"Installing: \${module_file}\")
  configure_file(${PROJECT_SOURCE_DIR}/src/pkcs11/kelm.module.in \"\${module_file}\" @ONLY)
" COMPONENT pkcs11)
