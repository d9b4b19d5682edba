# The value vocabulary of the OPC UA object layer: node ids, names and texts,
# the value converter, status codes, data types and enumerations.
gateway_add_test(tst_quavaluetypes SOURCES tst_quavaluetypes.cpp LIBS quaserver LABELS unit)
gateway_add_test(tst_quavalueconverter SOURCES tst_quavalueconverter.cpp LIBS quaserver LABELS unit)
gateway_add_test(tst_quaenums SOURCES tst_quaenums.cpp LIBS quaserver LABELS unit)
