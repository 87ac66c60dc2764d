# tolvex-report
