# The OPC UA server object layer against a real stack client over loopback:
# the server object; node objects with their children and references,
# variables, and application node classes as types with their methods.
gateway_add_test(tst_quaserver SOURCES tst_quaserver.cpp LIBS quaserver
  LABELS integration server)
gateway_add_test(tst_quanode SOURCES tst_quanode.cpp LIBS quaserver
  LABELS integration server)
