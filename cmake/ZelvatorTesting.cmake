# zelvator_add_test(NAME SOURCES src... LIBS lib...)
# One GoogleTest executable per folder's tests/, registered with CTest test by test.
function(zelvator_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main zelvator_warnings)
    target_compile_definitions(${name} PRIVATE
        ZELVATOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        ZELVATOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
    set(props)
    if(ARG_ENVIRONMENT)
        set(props PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
    if(CMAKE_CROSSCOMPILING)
        # The programs cannot run here to list their tests: tools/check-windows.sh runs them.
        add_test(NAME ${name} COMMAND ${name})
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${props})
    endif()
endfunction()
