# Tests of the web monitor: real TCP, real WebSockets, real databases.
tolvex_test(tst_web SOURCES tst_web.cpp ReportesPrueba.h LIBS tolvex_web tolvex_app tolvex_setup_lib TIMEOUT 300)
