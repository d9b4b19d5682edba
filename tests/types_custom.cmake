# Application node classes as OPC UA types, against a real stack client over
# loopback: type registration, instances, methods and new-instance signalers.
gateway_add_test(tst_quacustomtypes
  SOURCES tst_quacustomtypes.cpp
  LIBS quaserver LABELS integration)
