# Encrypted endpoints of the OPC UA object layer with real encrypting clients
# over loopback: logins per channel, the client trust list, the own certificate.
gateway_add_test(tst_quasecurity
  SOURCES tst_quasecurity.cpp
  LIBS quaserver LABELS integration)
