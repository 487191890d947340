# The salvage benchmarks: the corruption corpus compared with the sqlite3 shell's .recover
# (which needs the sqlite_dbpage extension built here), and the memory of a 1 GB salvage.
add_library(dbpage MODULE ${CMAKE_CURRENT_SOURCE_DIR}/dbpage_ext.c)
set_target_properties(dbpage PROPERTIES PREFIX "lib" C_STANDARD 99)
target_include_directories(dbpage PRIVATE ${SQLite3_INCLUDE_DIRS})
if(TARGET bench-salvage-corpus)
  target_link_libraries(bench-salvage-corpus PRIVATE tidewell_engine)
  add_dependencies(bench-salvage-corpus dbpage)
endif()
if(TARGET bench-salvage-memory)
  target_link_libraries(bench-salvage-memory PRIVATE tidewell_engine)
endif()
