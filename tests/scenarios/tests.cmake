# The scenario executable, and checks of its case runner through a second, failing table.
add_library(vorn_case_runner STATIC scenarios/case_runner.cpp)
target_link_libraries(vorn_case_runner PUBLIC GTest::gtest PRIVATE vorn_warnings)

add_executable(vorn-profile-scenarios scenarios/scenarios.cpp)
target_link_libraries(vorn-profile-scenarios PRIVATE vorn_case_runner vorn::profile vorn_warnings)
add_test(NAME scenarios COMMAND vorn-profile-scenarios)

add_executable(vorn_case_runner_check scenarios/runner_check.cpp)
target_link_libraries(vorn_case_runner_check PRIVATE vorn_case_runner vorn_warnings)

set(expect ${CMAKE_CURRENT_SOURCE_DIR}/scenarios/expect_run.cmake)
# Runs `program` with the arguments after `pattern`; they travel to the script as one list.
function(vorn_runner_test name program status pattern)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}>
        "-DARGS=${ARGN}" -DSTATUS=${status} "-DPATTERN=${pattern}" -P ${expect})
endfunction()

vorn_runner_test(scenarios_table_order vorn-profile-scenarios 0
    "tests::filters_by_normalized_time_and_metadata_across_counter_wrap: test\ntests::groups_by_semantic_metadata_value: test\ntests::groups_parallel_samples_by_kernel: test\ntests::phase_cycles_include_sequential_repeated_operations: test\n$"
    --list)
vorn_runner_test(scenarios_select_one vorn-profile-scenarios 0
    "^running 1 case\ncase tests::groups_by_semantic_metadata_value [.][.][.] ok\nresult: ok. 1 passed; 0 failed"
    tests::groups_by_semantic_metadata_value --exact)
vorn_runner_test(scenarios_select_by_substring vorn-profile-scenarios 0
    "^tests::groups_by_semantic_metadata_value: test\ntests::groups_parallel_samples_by_kernel: test\n$"
    --list tests::groups_)
vorn_runner_test(scenarios_exact_needs_the_whole_name vorn-profile-scenarios 0 "^$"
    --list tests::groups_ --exact)
vorn_runner_test(scenarios_malformed_command_line vorn-profile-scenarios 101 "unknown option '--bogus'"
    --bogus)
vorn_runner_test(runner_failing_case vorn_case_runner_check 101
    "report_value\n +Which is: 2\n +3\n.*case tests::fails_with_two_values [.][.][.] FAILED\ncase tests::passes [.][.][.] ok\nresult: FAILED. 1 passed; 1 failed")
