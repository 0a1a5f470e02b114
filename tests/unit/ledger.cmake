# The ledger of issued identities on an SQLite file and on the tests'
# PostgreSQL cluster.
eeprom_unit_test(LedgerTest SOURCES ${CMAKE_CURRENT_LIST_DIR}/LedgerTest.cpp LIBS promtool_core)
set_tests_properties(LedgerTest PROPERTIES FIXTURES_REQUIRED postgres
                     ENVIRONMENT "EEPROM_TEST_POSTGRES=${EEPROM_TEST_POSTGRES}")
