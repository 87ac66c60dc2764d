# Tests of the station area: tolvex_test(...) lines.
tolvex_test(tst_station SOURCES tst_station.cpp tst_station_comun.h
    LIBS tolvex_station tolvex_sim tolvex_setup_lib TIMEOUT 300)
target_include_directories(tst_station PRIVATE ${CMAKE_SOURCE_DIR}/tools)
tolvex_test(tst_station_registros SOURCES tst_station_registros.cpp
    LIBS tolvex_station tolvex_sim tolvex_setup_lib TIMEOUT 120)
target_include_directories(tst_station_registros PRIVATE ${CMAKE_SOURCE_DIR}/tools)
# The dates the station stores with the process's own locale, as a plant's
# desktop sets it (Qt reads LANG and LC_ALL; no generated locale is needed).
foreach(l es_ES en_US)
    add_test(NAME tst_station_registros_${l} COMMAND tst_station_registros "fechasComoLasLeeLaPlanta:del sistema")
    set_tests_properties(tst_station_registros_${l} PROPERTIES TIMEOUT 60 ENVIRONMENT
        "QT_QPA_PLATFORM=offscreen;TOLVEX_BIN_DIR=${CMAKE_BINARY_DIR};LANG=${l}.UTF-8;LC_ALL=${l}.UTF-8")
endforeach()
tolvex_test(tst_multipuesto SOURCES tst_multipuesto.cpp
    LIBS tolvex_reports tolvex_setup_lib TIMEOUT 240)
target_include_directories(tst_multipuesto PRIVATE ${CMAKE_SOURCE_DIR}/tools)
add_dependencies(tst_multipuesto tolvex-soak)
tolvex_test(tst_fiabilidad SOURCES tst_fiabilidad.cpp
    LIBS tolvex_app tolvex_setup_lib TIMEOUT 600)
target_include_directories(tst_fiabilidad PRIVATE ${CMAKE_SOURCE_DIR}/tools)
add_dependencies(tst_fiabilidad tolvex-killtest tolvex-lineas tolvex-soak)
# The station's state and decisions without a window: no display platform,
# no widgets linked.
add_executable(tst_station_nucleo tst_station_nucleo.cpp)
target_link_libraries(tst_station_nucleo PRIVATE Qt6::Test tolvex_stationcore tolvex_sim)
target_include_directories(tst_station_nucleo PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME tst_station_nucleo COMMAND tst_station_nucleo)
set_tests_properties(tst_station_nucleo PROPERTIES TIMEOUT 120)
tolvex_test(tst_lineas SOURCES tst_lineas.cpp tst_station_comun.h
    LIBS tolvex_app tolvex_sim tolvex_setup_lib TIMEOUT 300)
target_include_directories(tst_lineas PRIVATE ${CMAKE_SOURCE_DIR}/tools)
add_dependencies(tst_lineas tolvex-setup tolvex-diag)
# The plant's publisher on the PostgreSQL server of the fixture.
tolvex_test(tst_publicador SOURCES tst_publicador.cpp LIBS tolvex_stationcore TIMEOUT 120)
tolvex_test(tst_station_fallas SOURCES tst_station_fallas.cpp tst_station_comun.h
    LIBS tolvex_station tolvex_sim tolvex_setup_lib TIMEOUT 180)
target_include_directories(tst_station_fallas PRIVATE ${CMAKE_SOURCE_DIR}/tools)

# The recorder without a display.
tolvex_test(tst_grabador SOURCES tst_grabador.cpp LIBS tolvex_stationcore tolvex_sim TIMEOUT 120)
tolvex_test(tst_diferencias SOURCES tst_diferencias.cpp RegistrosPrueba.h
    LIBS tolvex_station tolvex_sim tolvex_setup_lib tolvex_reports TIMEOUT 120)
target_include_directories(tst_diferencias PRIVATE ${CMAKE_SOURCE_DIR}/tools)
