# tolvex-soak
