# tolvex-asedio: the web monitor attacked while tolvex-soak records.
find_package(Qt6 6.4 REQUIRED COMPONENTS WebSockets)
add_executable(tolvex-asedio ${CMAKE_CURRENT_LIST_DIR}/tolvex-asedio.cpp ${CMAKE_CURRENT_LIST_DIR}/ClienteWeb.h)
target_link_libraries(tolvex-asedio PRIVATE tolvex_setup_lib Qt6::Network Qt6::WebSockets)
add_dependencies(tolvex-asedio tolvex-soak)
if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    add_test(NAME web_asedio COMMAND tolvex-asedio $<TARGET_FILE:tolvex-soak> --minutes 1)
    set_tests_properties(web_asedio PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 420)
endif()
