# Tests of the app area: tolvex_test(...) lines.
tolvex_test(tst_app SOURCES tst_app.cpp LIBS tolvex_app tolvex_sim tolvex_setup_lib TIMEOUT 180)
target_include_directories(tst_app PRIVATE ${CMAKE_SOURCE_DIR}/tools)
add_dependencies(tst_app tolvex-report)
target_compile_definitions(tst_app PRIVATE TOLVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
# The setup tool writes the launcher only when the program is beside it.
add_dependencies(tst_instalacion tolvex)
