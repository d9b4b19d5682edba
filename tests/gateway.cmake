# The gateway's OPC UA side against a real stack client over loopback: the
# address space built from the settings, and tags created and updated later.
gateway_add_test(tst_gateway SOURCES tst_gateway.cpp LIBS gateway_core LABELS integration gateway)
