# What makes a Windows build look shipped: separate symbols and optional code signing.

# Signing: a PKCS#12 certificate given at configure time; its password comes from the environment
# variable PALLATON_SIGNING_PASSWORD when the build runs.
set(PALLATON_SIGNING_CERTIFICATE "" CACHE FILEPATH
    "PKCS#12 code-signing certificate for the Release build (password: PALLATON_SIGNING_PASSWORD)")
set(PALLATON_SIGN_COMMAND "")
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND PALLATON_SIGNING_CERTIFICATE)
    find_program(PALLATON_OSSLSIGNCODE osslsigncode REQUIRED)
    set(PALLATON_SIGN_COMMAND ${PROJECT_SOURCE_DIR}/cmake/sign-file.sh
                              ${PALLATON_SIGNING_CERTIFICATE})
    message(STATUS "Signing the program and its libraries with ${PALLATON_SIGNING_CERTIFICATE}")
elseif(CMAKE_BUILD_TYPE STREQUAL "Release")
    message(STATUS "No code-signing certificate (PALLATON_SIGNING_CERTIFICATE): nothing is signed")
endif()

# The Release program is compiled with debug information (its own sources and the libraries
# named after it), stripped, and its symbols go to FILE.debug beside it, tied to it by a debug
# link, so that a crash can still be read. Then it is signed, when signing is set up.
function(pallaton_ship_executable target)
    if(NOT CMAKE_BUILD_TYPE STREQUAL "Release")
        return()
    endif()
    foreach(compiled ${target} ${ARGN})
        target_compile_options(${compiled} PRIVATE -g)
    endforeach()
    set(file $<TARGET_FILE:${target}>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
        COMMAND ${CMAKE_STRIP} --strip-all ${file}
        COMMAND ${CMAKE_COMMAND} -E chdir $<TARGET_FILE_DIR:${target}>
                ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
                $<TARGET_FILE_NAME:${target}>
        VERBATIM)
    if(PALLATON_SIGN_COMMAND)
        add_custom_command(TARGET ${target} POST_BUILD
                           COMMAND ${PALLATON_SIGN_COMMAND} ${file} VERBATIM)
    endif()
endfunction()
