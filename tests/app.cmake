# Tests of the app area: tolvex_test(...) lines.
tolvex_test(tst_app SOURCES tst_app.cpp LIBS tolvex_app tolvex_sim tolvex_setup_lib TIMEOUT 180)
target_include_directories(tst_app PRIVATE ${CMAKE_SOURCE_DIR}/tools)
add_dependencies(tst_app tolvex-report)
target_compile_definitions(tst_app PRIVATE TOLVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
# The setup tool writes the launcher only when the program is beside it.
add_dependencies(tst_instalacion tolvex)
# The station and the main window on a real desktop: Xvfb with openbox, a
# panel, frames measured (skipped, exit 77, without them).
add_executable(tst_escritorio tst_escritorio.cpp tst_station_comun.h)
target_link_libraries(tst_escritorio PRIVATE Qt6::Test tolvex_app tolvex_sim tolvex_setup_lib)
target_include_directories(tst_escritorio PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tools)
add_test(NAME tst_escritorio COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/escritorio.sh $<TARGET_FILE:tst_escritorio>)
set_tests_properties(tst_escritorio PROPERTIES ENVIRONMENT "TOLVEX_BIN_DIR=${CMAKE_BINARY_DIR}"
    TIMEOUT 300 SKIP_RETURN_CODE 77)
