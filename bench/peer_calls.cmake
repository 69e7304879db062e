add_executable(bench_peer_calls ${CMAKE_CURRENT_LIST_DIR}/peer_calls_bench.cpp)
# The tests' real peers (kamailio, baresip) and their virtual sound card.
target_include_directories(bench_peer_calls PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(bench_peer_calls PRIVATE VELNARO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_link_libraries(bench_peer_calls PRIVATE velnaro_telephony)
