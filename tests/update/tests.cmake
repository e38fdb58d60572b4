# Registration of the update room's download runs (included by tests/CMakeLists.txt after the
# rooms): the cases of the DownloadRun suite fetch from the transfer tests' local servers, whose
# fixture starts them (see tests/http/tests.cmake).
if(CMAKE_CROSSCOMPILING)
    set_tests_properties(unit.update PROPERTIES
        FIXTURES_REQUIRED http_servers
        ENVIRONMENT "PALLATON_TEST_SERVERS=Z:${PALLATON_HTTP_SERVERS_FILE}")
else()
    set(update_properties ${CMAKE_CURRENT_BINARY_DIR}/update_tests_properties.cmake)
    file(WRITE ${update_properties}
         "foreach(test \${update_tests_TESTS})\n"
         "  if(test MATCHES \"^update\\\\.DownloadRun\\\\.\")\n"
         "    set_tests_properties(\${test} PROPERTIES FIXTURES_REQUIRED http_servers\n"
         "        ENVIRONMENT \"PALLATON_TEST_SERVERS=${PALLATON_HTTP_SERVERS_FILE}\")\n"
         "  endif()\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${update_properties})
endif()
