# Installation and the Debian package (cpack -G DEB in a build folder): the executable,
# its desktop entry and icons, its manual page, AppStream data, changelog and copyright,
# and the ICP-Brasil certificates.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

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

# The ICP-Brasil roots and intermediates: installed with the program, and beside the
# executable in a build tree (<build>/icp-brasil), so that a build finds them too.
set(NORVANE_ICP_FILES raiz-v5.pem raiz-v12.pem intermediarias.pem README.md)
set(NORVANE_ICP_BUILD_FILES)
foreach(name ${NORVANE_ICP_FILES})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/icp-brasil/${name}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/data/icp-brasil/${name} ${CMAKE_BINARY_DIR}/icp-brasil/${name}
    DEPENDS ${CMAKE_SOURCE_DIR}/data/icp-brasil/${name})
  list(APPEND NORVANE_ICP_BUILD_FILES ${CMAKE_BINARY_DIR}/icp-brasil/${name})
endforeach()
add_custom_target(icp_brasil_data ALL DEPENDS ${NORVANE_ICP_BUILD_FILES})
list(TRANSFORM NORVANE_ICP_FILES PREPEND ${CMAKE_SOURCE_DIR}/data/icp-brasil/ OUTPUT_VARIABLE NORVANE_ICP_SOURCES)
install(FILES ${NORVANE_ICP_SOURCES} DESTINATION ${CMAKE_INSTALL_DATADIR}/${NORVANE_PACKAGE_NAME}/icp-brasil)
# Where an installed program finds them.
target_compile_definitions(norvane_core PRIVATE NORVANE_DATA_DIR="${CMAKE_INSTALL_FULL_DATADIR}/${NORVANE_PACKAGE_NAME}")

# The changelog's newest entry names the version being packaged, and its date is the
# release's date in the AppStream data.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog NORVANE_CHANGELOG_TOP LIMIT_COUNT 1)
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog NORVANE_CHANGELOG_DATE REGEX "^ -- " LIMIT_COUNT 1)
if(NOT NORVANE_CHANGELOG_TOP MATCHES "^${NORVANE_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry must be of version ${PROJECT_VERSION} "
                      "(the project's version); it reads: ${NORVANE_CHANGELOG_TOP}")
endif()
if(NOT NORVANE_CHANGELOG_DATE MATCHES ", ([0-9]+) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog: no date in the newest entry's trailer line")
endif()
set(NORVANE_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND NORVANE_MONTHS "${CMAKE_MATCH_2}" month)
math(EXPR month "${month} + 1")
math(EXPR day "${CMAKE_MATCH_1}")
string(LENGTH "${month}" length)
if(length EQUAL 1)
  set(month "0${month}")
endif()
string(LENGTH "${day}" length)
if(length EQUAL 1)
  set(day "0${day}")
endif()
set(NORVANE_RELEASE_DATE "${CMAKE_MATCH_3}-${month}-${day}")

# The screenshot that software centres show is published beside the installer.
set(NORVANE_SCREENSHOT "norvane-assinador-ip-lote.png")
set(NORVANE_METAINFO ${CMAKE_BINARY_DIR}/packaging/br.com.norvane.assinador_ip.metainfo.xml)
configure_file(${CMAKE_SOURCE_DIR}/packaging/br.com.norvane.assinador_ip.metainfo.xml.in ${NORVANE_METAINFO} @ONLY)

# The manual page and the changelog, compressed as Debian wants them (no name, no time).
set(NORVANE_MANPAGE ${CMAKE_BINARY_DIR}/packaging/NorvaneAssinadorIP.1.gz)
set(NORVANE_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
foreach(pair "NorvaneAssinadorIP.1|${NORVANE_MANPAGE}" "changelog|${NORVANE_CHANGELOG}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh ${CMAKE_SOURCE_DIR}/packaging/${source} ${output}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${source}
    VERBATIM)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${NORVANE_MANPAGE} ${NORVANE_CHANGELOG})

install(TARGETS NorvaneAssinadorIP RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${NORVANE_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${NORVANE_CHANGELOG} ${CMAKE_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${NORVANE_PACKAGE_NAME})
install(FILES ${NORVANE_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
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
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
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
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd, ca-certificates, qt6-translations-l10n")
include(CPack)
