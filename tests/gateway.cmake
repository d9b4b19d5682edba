# The gateway's OPC UA side against a real stack client over loopback: the
# address space built from the settings, and tags created and updated later.
gateway_add_test(tst_gateway_addressspace
  SOURCES tst_gateway_addressspace.cpp LIBS gateway_core
  LABELS integration)
gateway_add_test(tst_gateway_tags
  SOURCES tst_gateway_tags.cpp LIBS gateway_core
  LABELS integration)
