# Tests of the app area: tolvex_test(...) lines.
