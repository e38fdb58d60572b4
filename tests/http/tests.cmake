# Registration of the transfer tests (included by tests/CMakeLists.txt after the rooms).
#
# They run against local servers (tools/test_servers.py: nginx with its https servers, the fault
# server and a port that never accepts): a fixture starts them before the first test that needs
# them and stops them after the last, and their ports reach the test program through
# PALLATON_TEST_SERVERS. A build that pins its roots (PALLATON_TRUSTED_CA) has the https servers'
# certificates signed by that root; otherwise the servers make a root of their own. Suites whose
# name ends in "Slow" wait for real time-outs (10 to 45 s each); every one of those cases gets a
# ctest entry of its own, so that they overlap under ctest -j. Suites whose name ends in "Huge"
# move gigabytes (a file beyond 4 GiB): they carry the label "heavy", so that quick runs can leave
# them out with `ctest -LE heavy`.

set(PALLATON_HTTP_SERVERS_DIR ${CMAKE_BINARY_DIR}/http-servers)
set(PALLATON_HTTP_SERVERS_FILE ${PALLATON_HTTP_SERVERS_DIR}/servers.txt)

set(http_servers_root "")
if(PALLATON_TRUSTED_CA)
    set(http_servers_root --root ${PALLATON_TRUSTED_CA})
endif()
add_test(NAME http.servers.start
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/test_servers.py start
                 ${PALLATON_HTTP_SERVERS_DIR} --lifetime 1800 ${http_servers_root})
add_test(NAME http.servers.stop
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/test_servers.py stop
                 ${PALLATON_HTTP_SERVERS_DIR})
set_tests_properties(http.servers.start PROPERTIES FIXTURES_SETUP http_servers TIMEOUT 90)
set_tests_properties(http.servers.stop PROPERTIES FIXTURES_CLEANUP http_servers TIMEOUT 60)

if(CMAKE_CROSSCOMPILING)
    # Wine shows the host's file system as drive Z:.
    set(http_servers_env "PALLATON_TEST_SERVERS=Z:${PALLATON_HTTP_SERVERS_FILE}")
    # One entry for the quick cases, and shards of the slow ones, one case per shard.
    set(http_slow_shards 12)
    # The proxy cases set the Internet Options of the prefix's user, which every Windows program
    # of the tests reads: none runs meanwhile.
    set_tests_properties(unit.http PROPERTIES
        FIXTURES_REQUIRED http_servers
        RESOURCE_LOCK wine-prefix
        ENVIRONMENT "${http_servers_env};GTEST_FILTER=-*Slow.*:*Huge.*")
    add_test(NAME unit.http.huge COMMAND http_tests)
    set_tests_properties(unit.http.huge PROPERTIES
        FIXTURES_REQUIRED http_servers
        LABELS heavy
        TIMEOUT 1800
        ENVIRONMENT "${http_servers_env};GTEST_FILTER=*Huge.*")
    math(EXPR last_shard "${http_slow_shards} - 1")
    foreach(shard RANGE ${last_shard})
        add_test(NAME unit.http.slow.${shard} COMMAND http_tests)
        set_tests_properties(unit.http.slow.${shard} PROPERTIES
            FIXTURES_REQUIRED http_servers
            TIMEOUT 180
            ENVIRONMENT "${http_servers_env};GTEST_FILTER=*Slow.*;GTEST_TOTAL_SHARDS=${http_slow_shards};GTEST_SHARD_INDEX=${shard}")
    endforeach()
else()
    # The cases are discovered when ctest runs; this script, included after the discovered list,
    # gives every one of them the fixture and the servers' file.
    set(http_properties ${CMAKE_CURRENT_BINARY_DIR}/http_tests_properties.cmake)
    file(WRITE ${http_properties}
         "if(http_tests_TESTS)\n"
         "  set_tests_properties(\${http_tests_TESTS} PROPERTIES FIXTURES_REQUIRED http_servers\n"
         "      ENVIRONMENT \"PALLATON_TEST_SERVERS=${PALLATON_HTTP_SERVERS_FILE}\")\n"
         "  foreach(name \${http_tests_TESTS})\n"
         "    if(name MATCHES \"Huge[.]\")\n"
         "      set_tests_properties(\${name} PROPERTIES LABELS heavy TIMEOUT 1800)\n"
         "    elseif(name MATCHES \"DownloadDigest[.]\")\n"
         "      set_tests_properties(\${name} PROPERTIES TIMEOUT 120)\n"
         "    endif()\n"
         "    if(name MATCHES \"[.]Proxy(Script[A-Za-z]*|Decision)[.]|DeadFirstProxy\")\n"
         "      set_tests_properties(\${name} PROPERTIES TIMEOUT 60)\n"
         "    endif()\n"
         "  endforeach()\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${http_properties})
endif()
