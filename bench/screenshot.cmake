add_executable(bench_screenshot ${CMAKE_CURRENT_LIST_DIR}/screenshot_bench.cpp)
target_link_libraries(bench_screenshot PRIVATE velnaro_control)
# The test helper that paints the root window.
target_include_directories(bench_screenshot PRIVATE ${CMAKE_SOURCE_DIR}/tests)
