# tolvex-report: the reports export and listing without the screen.
add_executable(tolvex-report ${CMAKE_CURRENT_LIST_DIR}/tolvex-report.cpp)
target_link_libraries(tolvex-report PRIVATE tolvex_reports)
install(TARGETS tolvex-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# tolvex-bench-reports: timings of the browser and export against the
# engines' own C APIs and libxlsxwriter (the export's floor).
pkg_check_modules(XLSXWRITER IMPORTED_TARGET xlsxwriter)
pkg_check_modules(SQLITE3 IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBPQ IMPORTED_TARGET libpq)
if(XLSXWRITER_FOUND AND SQLITE3_FOUND AND LIBPQ_FOUND)
    add_executable(tolvex-bench-reports ${CMAKE_CURRENT_LIST_DIR}/bench-reports.cpp)
    target_link_libraries(tolvex-bench-reports PRIVATE tolvex_reports PkgConfig::XLSXWRITER
        PkgConfig::SQLITE3 PkgConfig::LIBPQ)
endif()
