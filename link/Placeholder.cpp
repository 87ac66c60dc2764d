namespace tolvex_link_placeholder {}
