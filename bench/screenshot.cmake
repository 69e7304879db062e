add_executable(bench_screenshot ${CMAKE_CURRENT_LIST_DIR}/screenshot_bench.cpp)
# The tests' root painter and their do-nothing phone.
target_link_libraries(bench_screenshot PRIVATE velnaro_control velnaro_platform_capture
  velnaro_test_support CURL::libcurl PkgConfig::XCB)
