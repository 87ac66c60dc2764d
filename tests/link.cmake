# Tests of the link area: tolvex_test(...) lines.
tolvex_test(tst_link_trama SOURCES tst_link_trama.cpp LIBS tolvex_link TIMEOUT 120)
tolvex_test(tst_link_sim SOURCES tst_link_sim.cpp LIBS tolvex_link tolvex_sim TIMEOUT 300)
tolvex_test(tst_link_pymodbus SOURCES tst_link_pymodbus.cpp LIBS tolvex_link TIMEOUT 180)
target_compile_definitions(tst_link_pymodbus PRIVATE TOLVEX_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
tolvex_test(tst_link_tools SOURCES tst_link_tools.cpp LIBS tolvex_link Qt6::Network TIMEOUT 240)
add_dependencies(tst_link_tools tolvex-sim tolvex-diag tolvex-setup)
target_compile_definitions(tst_link_tools PRIVATE TOLVEX_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
