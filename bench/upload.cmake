add_executable(bench_upload ${CMAKE_CURRENT_LIST_DIR}/upload_bench.cpp)
target_link_libraries(bench_upload PRIVATE velnaro_control)
