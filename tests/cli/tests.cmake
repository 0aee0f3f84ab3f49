# End-to-end tests of the vorn-profile tool: the binary runs as a user runs it, and its answers
# are compared with the library's for the same request.
find_package(simdjson CONFIG REQUIRED)
find_package(Protobuf REQUIRED)

add_executable(vorn_cli_tests cli/cli_errors_test.cpp cli/cli_files_test.cpp cli/cli_test.cpp
    cli/cli_shards_test.cpp cli/listing_test.cpp cli/merge_test.cpp cli/samples_test.cpp
    vorn_profile/model_patterns.cpp)
target_link_libraries(vorn_cli_tests PRIVATE
    vorn_profile_cli simdjson::simdjson GTest::gtest_main vorn_warnings)
target_compile_definitions(vorn_cli_tests PRIVATE
    VORN_PROFILE_EXE="$<TARGET_FILE:vorn-profile>"
    VORN_BAD_PROFILES_DIR="${PROJECT_SOURCE_DIR}/tests/data/bad"
    VORN_CLI_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/cli_work")
add_dependencies(vorn_cli_tests vorn-profile)
target_include_directories(vorn_cli_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/vorn_package
    ${PROJECT_SOURCE_DIR}/tests/vorn_profile)
gtest_discover_tests(vorn_cli_tests TEST_PREFIX cli.)

# The exported traces decoded with the schema, and the lane layout.
add_executable(vorn_export_tests cli/export_test.cpp)
target_link_libraries(vorn_export_tests PRIVATE
    vorn_profile_cli vorn_trace_proto simdjson::simdjson GTest::gtest_main vorn_warnings)
target_compile_definitions(vorn_export_tests PRIVATE
    VORN_PROTOC="${Protobuf_PROTOC_EXECUTABLE}"
    VORN_PROTO_DIR="${PROJECT_SOURCE_DIR}/src/vorn_view"
    VORN_EXPORT_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/export_work")
gtest_discover_tests(vorn_export_tests TEST_PREFIX cli.)

# The report page's labels, captions and figures read back from its HTML.
add_executable(vorn_report_tests cli/report_test.cpp)
target_link_libraries(vorn_report_tests PRIVATE
    vorn_profile_cli simdjson::simdjson GTest::gtest_main vorn_warnings)
gtest_discover_tests(vorn_report_tests TEST_PREFIX cli.)

# The server's API through a real server on a free port, and its timeline against the samples.
add_executable(vorn_serve_tests cli/serve_api_test.cpp cli/serve_timeline_test.cpp
    cli/serve_timeline_binary_test.cpp)
target_link_libraries(vorn_serve_tests PRIVATE
    vorn_serve simdjson::simdjson GTest::gtest_main vorn_warnings)
target_compile_definitions(vorn_serve_tests PRIVATE
    VORN_PROFILE_EXE="$<TARGET_FILE:vorn-profile>"
    VORN_CLI_WORK_DIR="${CMAKE_CURRENT_BINARY_DIR}/serve_work")
add_dependencies(vorn_serve_tests vorn-profile)
gtest_discover_tests(vorn_serve_tests TEST_PREFIX cli.)

# The report page in headless Chromium (Debian's chromium; no network).
find_program(VORN_CHROMIUM NAMES chromium chromium-browser REQUIRED)
add_test(NAME cli.report_page_in_chromium
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/report_page_test.py
        $<TARGET_FILE:vorn-profile> ${VORN_CHROMIUM} ${CMAKE_CURRENT_BINARY_DIR}/report_page)
set_tests_properties(cli.report_page_in_chromium PROPERTIES TIMEOUT 400)

# The serve page in headless Chromium with puppeteer-core from npm (tests/browser/).
find_program(VORN_NODE node)
add_test(NAME cli.serve_page_in_chromium
    COMMAND ${PROJECT_SOURCE_DIR}/tests/browser/run
        $<TARGET_FILE:vorn-profile> ${VORN_CHROMIUM} ${CMAKE_CURRENT_BINARY_DIR}/serve_page)
set_tests_properties(cli.serve_page_in_chromium PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
