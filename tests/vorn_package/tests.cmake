# The stored profile format: unit tests over tests/data, and a replay of the fuzz target's seeds.
add_executable(vorn_package_tests vorn_package/buffered_output_test.cpp
    vorn_package/output_file_test.cpp vorn_package/profile_file_test.cpp
    vorn_package/profile_columns_test.cpp
    vorn_package/plain_tile_test.cpp
    vorn_package/profile_json_test.cpp vorn_package/profile_json_threads_test.cpp
    vorn_package/profile_packed_test.cpp vorn_package/profile_packed_bad_files_test.cpp
    vorn_package/synthetic_profile_test.cpp
    vorn_package/profile_packed_bounds_test.cpp vorn_package/profile_shards_test.cpp)
# The packed tests write damaged files with the format's own layout; the plain tile test reaches
# into the JSON reader.
target_include_directories(vorn_package_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/vorn_package
    ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vorn_package_tests PRIVATE vorn::package vorn::synthetic GTest::gtest_main
    vorn_warnings)
target_compile_definitions(vorn_package_tests PRIVATE
    VORN_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")
gtest_discover_tests(vorn_package_tests)

# The fuzz target built against a plain main that runs every seed once, so that it keeps
# compiling with any compiler and its property holds on the corpus.
add_executable(fuzz_profile_json_replay
    ${PROJECT_SOURCE_DIR}/fuzz/fuzz_profile_json.cpp ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(fuzz_profile_json_replay PRIVATE vorn::package vorn_warnings)
add_test(NAME fuzz_profile_json_replay COMMAND fuzz_profile_json_replay
    ${PROJECT_SOURCE_DIR}/fuzz/corpus ${CMAKE_CURRENT_SOURCE_DIR}/data/good
    ${CMAKE_CURRENT_SOURCE_DIR}/data/bad)
# The same seeds on simdjson's portable kernel, which machines without AVX2 run.
add_test(NAME fuzz_profile_json_replay_fallback COMMAND fuzz_profile_json_replay
    ${PROJECT_SOURCE_DIR}/fuzz/corpus ${CMAKE_CURRENT_SOURCE_DIR}/data/good
    ${CMAKE_CURRENT_SOURCE_DIR}/data/bad)
set_tests_properties(fuzz_profile_json_replay_fallback PROPERTIES
    ENVIRONMENT SIMDJSON_FORCE_IMPLEMENTATION=fallback
    PASS_REGULAR_EXPRESSION "simdjson kernel: fallback.*ran [1-9]")

# The same for packed files; seeds are packed files, and the target reaches into the layout.
add_executable(fuzz_profile_packed_replay
    ${PROJECT_SOURCE_DIR}/fuzz/fuzz_profile_packed.cpp ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
target_include_directories(fuzz_profile_packed_replay PRIVATE
    ${PROJECT_SOURCE_DIR}/src/vorn_package)
target_link_libraries(fuzz_profile_packed_replay PRIVATE vorn::package vorn_warnings)
add_test(NAME fuzz_profile_packed_replay COMMAND fuzz_profile_packed_replay
    ${PROJECT_SOURCE_DIR}/fuzz/corpus_packed)
