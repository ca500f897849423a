# The file system's faults of the log file tests.
target_sources(test_liblog PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/common/io_faults.cpp)
