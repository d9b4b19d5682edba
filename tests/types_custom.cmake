# Application node classes as OPC UA types, against a real stack client over
# loopback: type registration, instances, methods and new-instance signalers.
gateway_add_test(tst_quacustomtypes
  SOURCES tst_quacustomtypes.cpp tst_quaserver_client.cpp tst_quaserver_client.h
  LIBS quaserver LABELS integration)
