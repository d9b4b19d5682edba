# The tag store and both directions of the tag sync end to end: the gateway
# core or the whole window against a real database and a real OPC UA client
# over loopback, faults of the database included.
gateway_add_test(tst_tagstore
  SOURCES tst_tagstore.cpp LIBS gateway_core LABELS integration sync)
gateway_add_test(tst_sync_postgres
  SOURCES tst_sync_postgres.cpp LIBS gateway_core LABELS integration sync)
gateway_add_test(tst_sql_faults
  SOURCES tst_sql_faults.cpp LIBS gateway_core Qt5::Network
  LABELS integration sync)
target_compile_definitions(tst_sql_faults PRIVATE
  GATEWAY_PG_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/pg-test-server.sh")
gateway_add_test(tst_tableview
  SOURCES tst_tableview.cpp LIBS gateway_core gateway_resources Qt5::Network
  LABELS integration window)
