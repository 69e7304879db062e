add_executable(bench_events ${CMAKE_CURRENT_LIST_DIR}/events_bench.cpp)
# The tests' do-nothing phone and stream reader.
target_link_libraries(bench_events PRIVATE velnaro_control velnaro_test_support)
