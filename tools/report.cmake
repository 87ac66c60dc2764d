# tolvex-report: the reports export and listing without the screen.
add_executable(tolvex-report ${CMAKE_CURRENT_LIST_DIR}/tolvex-report.cpp)
target_link_libraries(tolvex-report PRIVATE tolvex_reports tolvex_setup_lib)
install(TARGETS tolvex-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

