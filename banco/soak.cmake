# tolvex-soak: the station window recording a fast simulated indicator.
add_executable(tolvex-soak tolvex-soak.cpp Banco.h)
target_link_libraries(tolvex-soak PRIVATE tolvex_station tolvex_sim tolvex_setup_lib tolvex_web)
add_dependencies(tolvex-soak tolvex-sim tolvex-diag)
if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    add_test(NAME tolvex_soak_corto
        COMMAND tolvex-soak --minutes 0.75 --speed 30 --faults --db-outage 20)
    set_tests_properties(tolvex_soak_corto PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 240)
endif()

# tolvex-killtest: the recording station killed with SIGKILL and started again.
add_executable(tolvex-killtest tolvex-killtest.cpp Revision.h)
target_link_libraries(tolvex-killtest PRIVATE tolvex_app tolvex_setup_lib)
add_dependencies(tolvex-killtest tolvex-soak)

# tolvex-bench-web: N live pages of the web monitor against tolvex-soak --web.
find_package(Qt6 6.4 REQUIRED COMPONENTS WebSockets)
add_executable(tolvex-bench-web ${CMAKE_CURRENT_LIST_DIR}/tolvex-bench-web.cpp)
target_link_libraries(tolvex-bench-web PRIVATE Qt6::Network Qt6::WebSockets)

# tolvex-lineas: several lines of one workstation, two on one bus, one failing.
add_executable(tolvex-lineas tolvex-lineas.cpp Banco.h Revision.h)
target_link_libraries(tolvex-lineas PRIVATE tolvex_app tolvex_sim tolvex_setup_lib)
add_dependencies(tolvex-lineas tolvex-sim tolvex-diag)
if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    add_test(NAME tolvex_lineas_corto COMMAND tolvex-lineas --minutes 0.75 --speed 30)
    set_tests_properties(tolvex_lineas_corto PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endif()

# tolvex-planta: workstations of one plant on a shared PostgreSQL database.
add_executable(tolvex-planta tolvex-planta.cpp Banco.h)
target_link_libraries(tolvex-planta PRIVATE tolvex_station tolvex_sim tolvex_setup_lib tolvex_web)

# tolvex-bench-planta: N tolvex-planta workstations on one database, C plant pages.
find_package(Qt6 6.4 REQUIRED COMPONENTS Sql)
add_executable(tolvex-bench-planta tolvex-bench-planta.cpp ClienteWeb.h)
target_link_libraries(tolvex-bench-planta PRIVATE tolvex_sim tolvex_stationcore Qt6::Network Qt6::Sql Qt6::WebSockets)
add_dependencies(tolvex-bench-planta tolvex-planta)
