# Tests of the link area: tolvex_test(...) lines.
