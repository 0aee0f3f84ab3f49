# End-to-end tests of the vorn-profile tool: the binary runs as a user runs it, and its answers
# are compared with the library's for the same request.
find_package(simdjson CONFIG REQUIRED)

add_executable(vorn_cli_tests cli/cli_test.cpp)
target_link_libraries(vorn_cli_tests PRIVATE
    vorn_profile_cli simdjson::simdjson GTest::gtest_main vorn_warnings)
target_compile_definitions(vorn_cli_tests PRIVATE
    VORN_PROFILE_EXE="$<TARGET_FILE:vorn-profile>"
    VORN_BAD_PROFILES_DIR="${PROJECT_SOURCE_DIR}/tests/data/bad"
    VORN_CLI_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/cli_work")
add_dependencies(vorn_cli_tests vorn-profile)
target_include_directories(vorn_cli_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/vorn_package)
gtest_discover_tests(vorn_cli_tests TEST_PREFIX cli.)
