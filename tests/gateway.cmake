# The gateway's OPC UA side against a real stack client over loopback: the
# address space built from the settings, and tags created and updated later.
set(GATEWAY_TEST_CLIENT tst_gateway_fixture.h tst_quaserver_client.cpp tst_quaserver_client.h)
gateway_add_test(tst_gateway_addressspace
  SOURCES tst_gateway_addressspace.cpp ${GATEWAY_TEST_CLIENT} LIBS gateway_core
  LABELS integration)
gateway_add_test(tst_gateway_tags
  SOURCES tst_gateway_tags.cpp ${GATEWAY_TEST_CLIENT} LIBS gateway_core
  LABELS integration)
