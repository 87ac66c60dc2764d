# The recorder as a service: tolvex-registro as a process, the local channel
# over a real Unix socket, the simulator over loopback TCP.
tolvex_test(tst_servicio SOURCES tst_servicio.cpp LIBS tolvex_web tolvex_sim tolvex_setup_lib TIMEOUT 300)
add_dependencies(tst_servicio tolvex-registro)
# The systemd unit as systemd reads it; skipped (77) without systemd-analyze.
find_program(TOLVEX_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME servicio_unidad COMMAND ${TOLVEX_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/servicio_unidad.py
    ${CMAKE_SOURCE_DIR}/packaging/tolvex-registro@.service $<TARGET_FILE:tolvex-registro>)
set_tests_properties(servicio_unidad PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
