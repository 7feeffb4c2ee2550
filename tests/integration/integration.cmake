# Integration tests: the real MySQL tools against a real, throwaway MariaDB
# server. One server serves the whole run: the setup fixture starts it, the
# cleanup fixture stops it, and a resource lock keeps the cases from running
# at the same time, since the recovery cases replay the server's binary log
# and must not pick up another case's changes.
set(MYSQLPROCESS_TEST_SERVER_DIR ${CMAKE_CURRENT_BINARY_DIR}/mariadb-server)
set(mysqlprocess_server_script ${PROJECT_SOURCE_DIR}/scripts/mariadb-server)

add_test(NAME mariadb_server_start
  COMMAND ${mysqlprocess_server_script} start ${MYSQLPROCESS_TEST_SERVER_DIR} --skip-if-missing)
set_tests_properties(mariadb_server_start PROPERTIES
  FIXTURES_SETUP mariadb_server RESOURCE_LOCK mariadb_server TIMEOUT 180 LABELS integration)
add_test(NAME mariadb_server_stop COMMAND ${mysqlprocess_server_script} stop ${MYSQLPROCESS_TEST_SERVER_DIR} --remove)
set_tests_properties(mariadb_server_stop PROPERTIES
  FIXTURES_CLEANUP mariadb_server RESOURCE_LOCK mariadb_server TIMEOUT 120 LABELS integration)

add_executable(mysql_tools_test ${CMAKE_CURRENT_LIST_DIR}/mysql_tools_test.cpp)
target_link_libraries(mysql_tools_test PRIVATE test_support GTest::gtest_main)
target_precompile_headers(mysql_tools_test REUSE_FROM test_support)
target_compile_definitions(mysql_tools_test PRIVATE
  MYSQLPROCESS_TEST_SERVER_DIR="${MYSQLPROCESS_TEST_SERVER_DIR}"
  MYSQLCHILD_PATH="$<TARGET_FILE:mysqlchild>"
  MYSQLPROCESS_SERVER_SCRIPT="${mysqlprocess_server_script}")
add_dependencies(mysql_tools_test mysqlchild)
# The timeout only catches a hang; every case takes a few seconds at most.
gtest_discover_tests(mysql_tools_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "MYSQLPROCESS_SANITIZER=${MYSQLPROCESS_SANITIZER}"
  FIXTURES_REQUIRED mariadb_server RESOURCE_LOCK mariadb_server TIMEOUT 120 LABELS integration)

# The server script itself and the physical backup: a second server started
# on a prepared backup of the fixture's.
add_executable(mariadb_server_test ${CMAKE_CURRENT_LIST_DIR}/mariadb_server_test.cpp)
target_link_libraries(mariadb_server_test PRIVATE test_support GTest::gtest_main)
target_precompile_headers(mariadb_server_test REUSE_FROM test_support)
target_compile_definitions(mariadb_server_test PRIVATE
  MYSQLPROCESS_TEST_SERVER_DIR="${MYSQLPROCESS_TEST_SERVER_DIR}"
  MYSQLCHILD_PATH="$<TARGET_FILE:mysqlchild>"
  MYSQLPROCESS_SERVER_SCRIPT="${mysqlprocess_server_script}")
add_dependencies(mariadb_server_test mysqlchild)
gtest_discover_tests(mariadb_server_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "MYSQLPROCESS_SANITIZER=${MYSQLPROCESS_SANITIZER}"
  FIXTURES_REQUIRED mariadb_server RESOURCE_LOCK mariadb_server TIMEOUT 300 LABELS integration)
