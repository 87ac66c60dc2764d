# Tests of the users area: tolvex_test(...) lines.
