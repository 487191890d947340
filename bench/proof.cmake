# The whole-tool proof: bench/run needs the runners for the workflow timings, and the
# whole-tool tests live in tests/whole (added here until the test list names that folder).
if(TARGET bench-scale AND TARGET tidewell_runners)
  target_link_libraries(bench-scale PRIVATE tidewell_runners)
endif()
if(BUILD_TESTING AND TARGET tidewell_testsupport AND TARGET tidewell_runners
   AND NOT TARGET whole_tests AND EXISTS ${PROJECT_SOURCE_DIR}/tests/whole/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/whole ${PROJECT_BINARY_DIR}/tests/whole)
endif()
