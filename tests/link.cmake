# Tests of the link area: tolvex_test(...) lines.
tolvex_test(tst_link_trama SOURCES tst_link_trama.cpp LIBS tolvex_link TIMEOUT 120)
