# Conversion benchmark: include() from bench/CMakeLists.txt.
add_executable(bench_conversion ${CMAKE_CURRENT_LIST_DIR}/bench_conversion.cpp)
target_link_libraries(bench_conversion PRIVATE velmor_core velmor_platform benchmark::benchmark benchmark::benchmark_main)
