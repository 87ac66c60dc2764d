# The Debian package: "cpack -G DEB" in a build directory makes
# tolvex_VERSION_ARCH.deb from what "cmake --install" installs under /usr.
# Only the programs a plant uses have install rules; the test programs,
# benchmarks, tolvex-soak, tolvex-killtest and tolvex-capturas drive the code
# under test on scratch directories and are left out.

# What Debian expects beside a package's files.
set(TOLVEX_DEB_DOC ${CMAKE_BINARY_DIR}/paquete)
file(MAKE_DIRECTORY ${TOLVEX_DEB_DOC})
find_program(TOLVEX_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${TOLVEX_DEB_DOC}/changelog.gz
    COMMAND ${TOLVEX_GZIP} -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${TOLVEX_DEB_DOC}/changelog.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    COMMENT "changelog.gz del paquete")
add_custom_target(tolvex-changelog ALL DEPENDS ${TOLVEX_DEB_DOC}/changelog.gz)
# Installed with the program, so a build of the program alone installs.
add_dependencies(tolvex tolvex-changelog)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${TOLVEX_DEB_DOC}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolvex)

set(TOLVEX_MANTENEDOR "Tolvex <tolvex@localhost>" CACHE STRING "Mantenedor del paquete Debian")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisión de pesaje por tandas")
set(CPACK_PACKAGE_DESCRIPTION "\
Maestro Modbus RTU de un indicador de pesaje y dosificación, por línea serie
o TCP: estación de pesaje con los comandos del indicador, un registro numerado
por lote en SQLite o PostgreSQL, reportes con filtros, impresión y exportación
a xlsx, y un monitor web de solo lectura.
Incluye tolvex-setup (prepara un directorio de programa), tolvex-diag (prueba
el enlace con el indicador), tolvex-report, el registrador tolvex-registro con
su unidad de systemd y el simulador tolvex-sim.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOLVEX_MANTENEDOR}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link come from dpkg-shlibdeps (dpkg-dev);
# what Qt loads at run time is named here: the SQL drivers, the display
# platforms, the fonts the screens and listings use, and Qt's own Spanish
# texts for its dialogs (the program has no translation files of its own).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6sql6-sqlite, libqt6sql6-psql, qt6-qpa-plugins, fonts-dejavu-core, qt6-translations-l10n")
# Ayuda opens the manual in the desktop's web viewer.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# LibreOffice converts an older plant's REPORTE.xls when tolvex-setup --desde finds it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql, libreoffice-calc-nogui | libreoffice-calc")
include(CPack)
