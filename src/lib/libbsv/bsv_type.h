#pragma once
// bsv record types (the type code of a frame or pcap file selects the
// schema and the byte order) and the id tables of applications, operating
// systems and architectures.
#include "libbsv/value.h"
#include "libpal/env/os_types.h"

enum : int {
    BSV_TYPE_LOG = 1,      // log record, little-endian
    BSV_TYPE_LOG_BE = 2,   // log record, big-endian
    BSV_TYPE_LOG2 = 3,     // log v2 record, little-endian
    BSV_TYPE_INFO = 5,     // info record, little-endian
    BSV_TYPE_INFO_BE = 6,  // info record, big-endian
};

extern const char BSV_SCHEMA_LOG[];
extern const char BSV_SCHEMA_LOG2[];
extern const char BSV_SCHEMA_INFO[];

// Schema text and byte order (1 big-endian) of a record type; -1 for a
// type without a row.
int bsv_type_layout(int type, const char **schema, int *big_endian);
// 1 when the record type's byte order differs from the host's.
int bsv_type_swap(int type);
bsv_value *bsv_type_open_value(int type);
// 1 for the big-endian types, 0 for the others.
int bsv_type_get_os_endian(int type);

int bsv_app_name_2_id(const char *name);
const char *bsv_app_id_2_name(const char *code);
const char *bsv_os_id_2_name(const char *code);
const char *bsv_arch_id_2_name(const char *code);
