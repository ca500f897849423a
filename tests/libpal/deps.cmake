# Reference implementations for the differential tests (never linked into vkto).
target_link_libraries(test_libpal PRIVATE crypto z)
