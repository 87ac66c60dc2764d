# Tests of the link area: tolvex_test(...) lines.
tolvex_test(tst_link_trama SOURCES tst_link_trama.cpp LIBS tolvex_link TIMEOUT 120)
tolvex_test(tst_link_sim SOURCES tst_link_sim.cpp LIBS tolvex_link tolvex_sim TIMEOUT 300)
