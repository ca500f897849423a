#pragma once
// Value type codes shared by the comparators, the record schemas, the rule
// engine and the number parser. Even codes name a value, odd codes a
// pointer to one.
#include "libpal/env/os_types.h"

enum value_type : u32 {
    VALUE_U8 = 0,          // record field
    VALUE_U16 = 2,         // record field
    VALUE_U32 = 4,         // record field
    VALUE_U64 = 6,         // unsigned 64-bit
    VALUE_U64_PTR = 7,
    VALUE_BYTE = 8,        // byte, compared as an unsigned 32-bit value
    VALUE_BYTE_PTR = 9,
    VALUE_I32 = 14,        // signed 32-bit
    VALUE_I32_PTR = 15,
    VALUE_UWORD = 16,      // unsigned 64-bit machine word (pointers, tree keys)
    VALUE_UWORD_PTR = 17,
    VALUE_DOUBLE = 18,     // number parser results
    VALUE_STR = 20,        // text
    VALUE_TYPE_STRING = VALUE_STR,  // string field of a bsv record
    VALUE_STR_PTR = 21,
};
