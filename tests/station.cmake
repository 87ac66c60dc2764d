# Tests of the station area: tolvex_test(...) lines.
