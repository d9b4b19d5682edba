# The application shell: configuration loader, log sink, dialog and window.
gateway_add_test(tst_configloader SOURCES tst_configloader.cpp LIBS gateway_core LABELS unit gateway)
gateway_add_test(tst_mainwindow SOURCES tst_mainwindow.cpp LIBS gateway_core gateway_resources
  LABELS integration window)
target_compile_definitions(tst_mainwindow PRIVATE
  GATEWAY_EXECUTABLE="$<TARGET_FILE:OpcUaSqlGateway>")
add_dependencies(tst_mainwindow OpcUaSqlGateway)
