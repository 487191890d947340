# The salvage's fuzz target, built with the normal compiler as a replay driver: the seeds
# and a fixed set of mutations of them run as a CTest smoke test. fuzz/run-fuzz.sh builds
# the real libFuzzer binary with clang.
set(tidewell_pagefile_DECODER
    ${PROJECT_SOURCE_DIR}/engine/errors.cpp
    ${PROJECT_SOURCE_DIR}/engine/file_lock.cpp
    ${PROJECT_SOURCE_DIR}/engine/pagefile/committed.cpp
    ${PROJECT_SOURCE_DIR}/engine/pagefile/format.cpp
    ${PROJECT_SOURCE_DIR}/engine/pagefile/index_check.cpp
    ${PROJECT_SOURCE_DIR}/engine/pagefile/recover.cpp
    ${PROJECT_SOURCE_DIR}/engine/pagefile/schema.cpp)
add_executable(salvage_fuzz_replay ${CMAKE_CURRENT_SOURCE_DIR}/salvage_fuzz.cpp
               ${CMAKE_CURRENT_SOURCE_DIR}/replay_main.cpp ${tidewell_pagefile_DECODER})
target_include_directories(salvage_fuzz_replay PRIVATE ${PROJECT_SOURCE_DIR})
if(BUILD_TESTING)
  add_test(NAME salvage_fuzz_smoke
           COMMAND salvage_fuzz_replay ${CMAKE_CURRENT_SOURCE_DIR}/seeds 1000)
  set_tests_properties(salvage_fuzz_smoke PROPERTIES TIMEOUT 120)
endif()
