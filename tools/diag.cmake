# tolvex-diag
add_executable(tolvex-diag tolvex-diag.cpp)
target_link_libraries(tolvex-diag PRIVATE tolvex_link)
install(TARGETS tolvex-diag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
