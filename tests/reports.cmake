# Tests of the reports area.
tolvex_test(tst_reports_filtro SOURCES tst_reports_filtro.cpp LIBS tolvex_reports TIMEOUT 60)
tolvex_test(tst_reports_browser SOURCES tst_reports_browser.cpp NavegadorPrueba.h
    LIBS tolvex_reports tolvex_setup_lib TIMEOUT 180)
tolvex_test(tst_reports_salida SOURCES tst_reports_salida.cpp ReportesPrueba.h
    LIBS tolvex_reports tolvex_setup_lib TIMEOUT 180)
target_compile_definitions(tst_reports_salida PRIVATE TOLVEX_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
add_dependencies(tst_reports_salida tolvex-report)
