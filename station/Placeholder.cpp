namespace tolvex_station_placeholder {}
