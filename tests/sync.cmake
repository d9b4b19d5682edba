# The tag store and both directions of the tag sync end to end: the gateway
# core or the whole window against a real database and a real OPC UA client
# over loopback, faults of the database included.
gateway_add_test(tst_sync
  SOURCES tst_sync.cpp LIBS gateway_core Qt5::Network LABELS integration sync)
target_compile_definitions(tst_sync PRIVATE
  GATEWAY_PG_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/pg-test-server.sh"
  GATEWAY_EXECUTABLE="$<TARGET_FILE:OpcUaSqlGateway>")
add_dependencies(tst_sync OpcUaSqlGateway)

# The outage cases once more on the SQL Server path against a real server:
# PostgreSQL's ODBC driver registered as "SQL Server" in an ini folder of
# this run's own (unixODBC reads the driver names once per process).
file(GLOB PSQLODBC_DRIVER /usr/lib/*/odbc/psqlodbcw.so)
if(NOT PSQLODBC_DRIVER)
  message(FATAL_ERROR "PostgreSQL's ODBC driver is missing: run scripts/setup.sh")
endif()
set(SQLSERVER_ON_PG_INI ${CMAKE_CURRENT_BINARY_DIR}/odbc-postgresql)
file(WRITE ${SQLSERVER_ON_PG_INI}/odbcinst.ini
  "[SQL Server]\nDescription = PostgreSQL standing in for SQL Server\nDriver = ${PSQLODBC_DRIVER}\n")
file(WRITE ${SQLSERVER_ON_PG_INI}/odbc.ini "")
add_test(NAME tst_sync_sqlserver COMMAND tst_sync databaseOutageIsSurvived)
set_tests_properties(tst_sync_sqlserver PROPERTIES TIMEOUT 300 LABELS "integration;sync"
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0;ODBCSYSINI=${SQLSERVER_ON_PG_INI};GATEWAY_TEST_SQLSERVER_ON_PG=1")
gateway_add_test(tst_tableview
  SOURCES tst_tableview.cpp LIBS gateway_core gateway_resources Qt5::Network
  LABELS integration window)
