# Tests of the users area: tolvex_test(...) lines.
tolvex_test(tst_users SOURCES tst_users.cpp LIBS tolvex_users tolvex_setup_lib TIMEOUT 120)
