target_link_libraries(bench_crc PRIVATE z)
