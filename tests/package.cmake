# The Debian package that scripts/test.sh builds and unpacks into the folder
# named by GATEWAY_PACKAGE_ROOT: the installed program's command line, and the
# program run as its service runs it, with a real client and SQLite.
gateway_add_test(tst_package SOURCES tst_package.cpp LIBS gateway_core LABELS integration package)
