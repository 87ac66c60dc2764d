# Tests of the web monitor: real TCP, real WebSockets, real databases.
tolvex_test(tst_web SOURCES tst_web.cpp ReportesPrueba.h LIBS tolvex_web tolvex_app tolvex_sim tolvex_setup_lib TIMEOUT 300)
# The plant on a server under libfaketime starts one with scripts/pg.sh.
target_compile_definitions(tst_web PRIVATE TOLVEX_FUENTES="${CMAKE_SOURCE_DIR}")
add_dependencies(tst_web tolvex-setup)
# The monitor in headless Chromium against tolvex-soak --web; skipped (77)
# only when Chromium, chromium-driver or a Python module is missing.
find_program(TOLVEX_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME web_navegador COMMAND ${TOLVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/web_navegador.py
    $<TARGET_FILE:tolvex-soak>)
set_tests_properties(web_navegador PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" SKIP_RETURN_CODE 77 TIMEOUT 400)
# The plant page in headless Chromium: two tolvex-planta workstations on a
# database of its own on the fixture's server; skipped (77) also without one.
add_test(NAME web_planta COMMAND ${TOLVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/web_planta.py
    $<TARGET_FILE:tolvex-planta> $<TARGET_FILE:tolvex-setup> ${CMAKE_BINARY_DIR})
set_tests_properties(web_planta PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" SKIP_RETURN_CODE 77 TIMEOUT 400
    FIXTURES_REQUIRED postgres RESOURCE_LOCK postgres)
