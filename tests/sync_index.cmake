# The core's lookups by tag name, row key and row id against a real SQLite
# table and a real OPC UA client.
gateway_add_test(tst_sync_index
  SOURCES tst_sync_index.cpp tst_sync_fixture.h tst_gateway_fixture.h tst_quaserver_client.cpp
  tst_quaserver_client.h LIBS gateway_core)
