# Tests of the reports area.
tolvex_test(tst_reports_filtro SOURCES tst_reports_filtro.cpp LIBS tolvex_reports TIMEOUT 60)
tolvex_test(tst_reports_browser SOURCES tst_reports_browser.cpp ReportesPrueba.h
    LIBS tolvex_reports tolvex_setup_lib TIMEOUT 180)
