# The installers' signer check on Windows needs signed programs: a fixture signs copies of the
# fixture program with throwaway keys (tools/sign_fixtures.py: openssl and osslsigncode) before
# the install tests run, and their folder reaches the tests in PALLATON_SIGNED_FIXTURES. The keys
# stay in PALLATON_TEST_SIGNING_KEYS, so that a build can pin them (scripts/test builds one).
if(CMAKE_CROSSCOMPILING)
    set(PALLATON_TEST_SIGNING_KEYS ${CMAKE_BINARY_DIR}/signing-keys CACHE PATH
        "Folder of the throwaway keys that sign the install tests' fixtures")
    set(signed_fixtures_dir ${CMAKE_BINARY_DIR}/signed-fixtures)
    add_test(NAME install.signed_fixtures
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/sign_fixtures.py
                     ${signed_fixtures_dir} $<TARGET_FILE:fixture_program>
                     ${PALLATON_TEST_SIGNING_KEYS})
    set_tests_properties(install.signed_fixtures PROPERTIES FIXTURES_SETUP signed_fixtures
                         TIMEOUT 120)
    set_tests_properties(unit.install PROPERTIES FIXTURES_REQUIRED signed_fixtures
                         ENVIRONMENT "PALLATON_SIGNED_FIXTURES=Z:${signed_fixtures_dir}")
    # The whole runs of a build with pins install the signed fixtures.
    set_tests_properties(e2e.test_signed_install PROPERTIES FIXTURES_REQUIRED signed_fixtures)
    set_property(TEST e2e.test_signed_install APPEND PROPERTY ENVIRONMENT
                 "PALLATON_SIGNED_FIXTURES=${signed_fixtures_dir}")
endif()
