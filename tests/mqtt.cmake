# The MQTT node against Debian's mosquitto and a Python Sparkplug host (the
# Python code protoc generates from mqtt/sparkplug_b.proto, at build time).
find_program(TOLVEX_PROTOC protoc REQUIRED)
set(TOLVEX_MQTT_PB_DIR ${CMAKE_CURRENT_BINARY_DIR}/mqtt_pb)
add_custom_command(
    OUTPUT ${TOLVEX_MQTT_PB_DIR}/sparkplug_b_pb2.py
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TOLVEX_MQTT_PB_DIR}
    COMMAND ${TOLVEX_PROTOC} --python_out=${TOLVEX_MQTT_PB_DIR} -I${CMAKE_SOURCE_DIR}/mqtt
            ${CMAKE_SOURCE_DIR}/mqtt/sparkplug_b.proto
    DEPENDS ${CMAKE_SOURCE_DIR}/mqtt/sparkplug_b.proto
    COMMENT "protoc --python_out sparkplug_b.proto")
add_custom_target(tolvex_mqtt_pb_py DEPENDS ${TOLVEX_MQTT_PB_DIR}/sparkplug_b_pb2.py)
tolvex_test(tst_mqtt SOURCES tst_mqtt.cpp LIBS tolvex_mqtt Qt6::Sql Qt6::Network TIMEOUT 900)
add_dependencies(tst_mqtt tolvex-mqtt-nodo tolvex-setup tolvex_mqtt_pb_py)
target_compile_definitions(tst_mqtt PRIVATE TOLVEX_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
    TOLVEX_MQTT_PB_DIR="${TOLVEX_MQTT_PB_DIR}")
tolvex_test(tst_mqtt_opciones SOURCES tst_mqtt_opciones.cpp LIBS tolvex_station)
