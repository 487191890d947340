# bench/run times the workflows through the same runners as the front ends.
if(TARGET bench-scale AND TARGET tidewell_workflows)
  target_link_libraries(bench-scale PRIVATE tidewell_workflows)
endif()
