# The tag store and both directions of the tag sync end to end: the gateway
# core or the whole window against a real database and a real OPC UA client
# over loopback, faults of the database included.
set(SYNC_TEST_SUPPORT tst_sync_fixture.h tst_gateway_fixture.h tst_quaserver_client.cpp
  tst_quaserver_client.h)
gateway_add_test(tst_tagstore
  SOURCES tst_tagstore.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core LABELS integration)
gateway_add_test(tst_sync_postgres
  SOURCES tst_sync_postgres.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core LABELS integration)
gateway_add_test(tst_sql_faults
  SOURCES tst_sql_faults.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core Qt5::Network
  LABELS integration)
target_compile_definitions(tst_sql_faults PRIVATE
  GATEWAY_PG_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/pg-test-server.sh")
gateway_add_test(tst_tableview
  SOURCES tst_tableview.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core gateway_resources Qt5::Network
  LABELS integration)
