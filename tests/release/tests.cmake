# The shipped Windows files: their headers and resources, and code signing.
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(machine i386)
    else()
        set(machine amd64)
    endif()
    # Debian's Python, which has Debian's pefile module (python3-pefile).
    find_program(PALLATON_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
    add_test(NAME release.shipped_files
             COMMAND ${PALLATON_DEBIAN_PYTHON} -m unittest -v test_shipped_files
             WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    set_tests_properties(release.shipped_files PROPERTIES TIMEOUT 60 ENVIRONMENT
        "PALLATON_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PALLATON_MACHINE=${machine};PALLATON_VERSION=${PROJECT_VERSION}")
    add_test(NAME release.signing
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/sign_test.sh ${CMAKE_BINARY_DIR}/bin
                     ${PROJECT_SOURCE_DIR})
    set_tests_properties(release.signing PROPERTIES TIMEOUT 120)
endif()
