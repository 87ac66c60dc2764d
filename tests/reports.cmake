# Tests of the reports area: tolvex_test(...) lines.
