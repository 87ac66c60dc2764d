# tolvex-diag
add_executable(tolvex-diag tolvex-diag.cpp)
target_link_libraries(tolvex-diag PRIVATE tolvex_link)
install(TARGETS tolvex-diag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Benchmark of the link: see docs/benchmarks.md, "Indicator link".
add_executable(tolvex-bench-link tolvex-bench-link.cpp)
target_link_libraries(tolvex-bench-link PRIVATE tolvex_link tolvex_sim)

add_executable(tolvex-bench-bus tolvex-bench-bus.cpp)
target_link_libraries(tolvex-bench-bus PRIVATE tolvex_link tolvex_sim)
