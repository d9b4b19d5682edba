# The SQL store: connection, tables and rules, developer statements, the table
# model, and the window's view of the tags table.
gateway_add_test(tst_sqlstore SOURCES tst_sqlstore.cpp LIBS gateway_core)
gateway_add_test(tst_sql_postgres SOURCES tst_sql_postgres.cpp LIBS gateway_core)
gateway_add_test(tst_tableview SOURCES tst_tableview.cpp LIBS gateway_core gateway_resources
  Qt5::Network)
