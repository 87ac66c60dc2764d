# tolvex-caos: four workstations (tolvex-soak) under every fault at once.
add_executable(tolvex-caos tolvex-caos.cpp Asedio.h ClienteWeb.h Revision.h)
target_link_libraries(tolvex-caos PRIVATE tolvex_app tolvex_link tolvex_setup_lib Qt6::Network)
target_include_directories(tolvex-caos PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(tolvex-caos tolvex-soak)
