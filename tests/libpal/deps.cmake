# Reference implementations for the differential tests (never linked into vkto).
target_link_libraries(test_libpal PRIVATE crypto z)
# The file system's faults of the halving tests.
target_sources(test_libpal PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common/io_faults.cpp)
