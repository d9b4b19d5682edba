# Sessions and access control of the OPC UA object layer, with real clients
# over loopback: logins, also over encrypted channels with the client trust
# list and the own certificate, session records with the client's address,
# rights.
gateway_add_test(tst_quasessions
  SOURCES tst_quasessions.cpp
  LIBS quaserver LABELS integration server)
