# The Debian package made from this build by cpack, checked with dpkg-deb and
# run unpacked in a scratch folder; skipped (77) only without cpack or dpkg-dev.
find_program(TOLVEX_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME paquete_deb COMMAND ${TOLVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/paquete_deb.py
    ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(paquete_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
