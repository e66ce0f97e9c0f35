# Installation and the Debian package (cpack -G DEB in a build folder): the executable,
# its desktop entry and its icons in the hicolor theme.
include(GNUInstallDirs)

set(NORVANE_PACKAGE_NAME norvane-assinador-ip)

# The icons are drawn by the program's own logo code at build time.
add_executable(make_icons ${CMAKE_SOURCE_DIR}/packaging/make_icons.cpp)
target_compile_options(make_icons PRIVATE ${NORVANE_WARNINGS})
target_link_libraries(make_icons PRIVATE norvane norvane_urls)
set(NORVANE_ICONS ${CMAKE_BINARY_DIR}/icons/${NORVANE_PACKAGE_NAME}.png ${CMAKE_BINARY_DIR}/icons/${NORVANE_PACKAGE_NAME}.svg)
add_custom_command(OUTPUT ${NORVANE_ICONS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:make_icons> ${CMAKE_BINARY_DIR}/icons ${NORVANE_PACKAGE_NAME}
  DEPENDS make_icons
  COMMENT "Drawing the icons")
add_custom_target(icons ALL DEPENDS ${NORVANE_ICONS})

install(TARGETS NorvaneAssinadorIP RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/${NORVANE_PACKAGE_NAME}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/icons/${NORVANE_PACKAGE_NAME}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES ${CMAKE_BINARY_DIR}/icons/${NORVANE_PACKAGE_NAME}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME ${NORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Norvane")
set(CPACK_PACKAGE_CONTACT "Norvane <suporte@norvane.com.br>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Norvane - Assinador de Instrumento de Protesto")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The summary above is the synopsis line; these are the lines after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Signs PDF/A protest instruments of Brazilian notary offices with an ICP-Brasil
e-CPF A3 certificate on a smart card or USB token (PKCS#11 through p11-kit) and
sends the PKCS#7 signatures to the Norvane service.")
# The libraries the program links come from dpkg-shlibdeps; the PKCS#11 modules are
# loaded at run time (p11-kit's proxy, OpenSC for the smart cards), so they are named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "p11-kit, p11-kit-modules, opensc-pkcs11")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd, ca-certificates")
include(CPack)
