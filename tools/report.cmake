# tolvex-report: the reports export and listing without the screen.
add_executable(tolvex-report ${CMAKE_CURRENT_LIST_DIR}/tolvex-report.cpp)
target_link_libraries(tolvex-report PRIVATE tolvex_reports)
install(TARGETS tolvex-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# tolvex-bench-reports: timings of the browser and export against the
# engines' own clients. Built when libxlsxwriter (the export's floor) is there.
pkg_check_modules(XLSXWRITER IMPORTED_TARGET xlsxwriter)
if(XLSXWRITER_FOUND)
    add_executable(tolvex-bench-reports ${CMAKE_CURRENT_LIST_DIR}/bench-reports.cpp)
    target_link_libraries(tolvex-bench-reports PRIVATE tolvex_reports PkgConfig::XLSXWRITER)
endif()
