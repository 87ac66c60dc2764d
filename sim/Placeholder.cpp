namespace tolvex_sim_placeholder {}
