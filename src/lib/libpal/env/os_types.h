#pragma once
// Fixed-width integer names used throughout the framework.
#include <cstddef>
#include <cstdint>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;

#ifndef OS_ARRAY_SIZE
#define OS_ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#endif

#define OS_PRINTF(f, a) __attribute__((format(printf, f, a)))
