# tolvex-diag
