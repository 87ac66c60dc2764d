# Tests of the app area: tolvex_test(...) lines.
tolvex_test(tst_app SOURCES tst_app.cpp LIBS tolvex_app tolvex_setup_lib TIMEOUT 120)
