# The tag store and both directions of the tag sync end to end: the gateway
# core or the whole window against a real database and a real OPC UA client
# over loopback, faults of the database included.
gateway_add_test(tst_sync
  SOURCES tst_sync.cpp LIBS gateway_core Qt5::Network LABELS integration sync)
target_compile_definitions(tst_sync PRIVATE
  GATEWAY_PG_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/pg-test-server.sh")
gateway_add_test(tst_tableview
  SOURCES tst_tableview.cpp LIBS gateway_core gateway_resources Qt5::Network
  LABELS integration window)
