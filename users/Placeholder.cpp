namespace tolvex_users_placeholder {}
