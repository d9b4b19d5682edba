# The OPC UA server object layer against a real stack client over loopback:
# the server object; node objects with their children and references, and
# variables.
set(QUASERVER_TEST_CLIENT tst_quaserver_client.cpp tst_quaserver_client.h)
gateway_add_test(tst_quaserver SOURCES tst_quaserver.cpp ${QUASERVER_TEST_CLIENT} LIBS quaserver
  LABELS integration)
gateway_add_test(tst_quanode SOURCES tst_quanode.cpp ${QUASERVER_TEST_CLIENT} LIBS quaserver
  LABELS integration)
