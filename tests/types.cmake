# The value vocabulary of the OPC UA object layer: node ids, names and texts,
# the value converter, status codes, data types, text forms and the stack's
# log records.
gateway_add_test(tst_quavalues SOURCES tst_quavalues.cpp LIBS quaserver LABELS unit values)
