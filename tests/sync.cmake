# Both directions of the tag sync end to end: the gateway core or the whole
# window against a real database and a real OPC UA client over loopback.
set(SYNC_TEST_SUPPORT tst_sync_fixture.h tst_gateway_fixture.h tst_quaserver_client.cpp
  tst_quaserver_client.h)
gateway_add_test(tst_sync_postgres
  SOURCES tst_sync_postgres.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core)
gateway_add_test(tst_sync_sqlite
  SOURCES tst_sync_sqlite.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core)
gateway_add_test(tst_sync_window
  SOURCES tst_sync_window.cpp ${SYNC_TEST_SUPPORT} LIBS gateway_core gateway_resources)
