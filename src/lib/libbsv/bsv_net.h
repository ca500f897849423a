#pragma once
// bsv frames: one bsv record in a datagram.
//
//   0  3  magic "bsv"
//   3  1  flags: bit 0 big-endian, bit 1 a CRC-8 byte ends the frame,
//         bit 2 bytes 4.. are RC4-enciphered; bits 4-7 the version (0)
//   4  2  total length, CRC byte included
//   6  2  record type
//   8  .. the record
//   L  1  CRC-8 over bytes 3..L-1 (with bit 1)
//
// The frames built here are little-endian with the CRC byte: flags 2, or 6
// while the cipher switch is on. Every frame is enciphered with its own
// freshly keyed RC4 state, so any number of threads may build and parse
// frames at once.
#include "libbsv/value.h"
#include "libpal/env/os_types.h"

constexpr int BSV_NET_HDR = 8;
constexpr int BSV_NET_BODY_MAX = 1471;  // frame length before the CRC byte
constexpr int BSV_NET_MAX = 1472;       // largest frame
constexpr int BSV_NET_INFO_HDR = 34;    // fixed fields of an info record
constexpr int BSV_NET_INFO_DATA_MAX = 1430;

enum : u8 {
    BSV_NET_F_BE = 1,
    BSV_NET_F_CRC = 2,
    BSV_NET_F_RC4 = 4,
};

// Parsed info record; the texts and the data point into the frame.
struct bsv_net_info {
    u64 sid;
    u64 bid;
    u64 stime;
    u32 ver_id;
    u16 app_id;
    u8 os_id;
    u8 arch_id;
    u16 type_id;
    const char *hostname;
    const u8 *data;
    u64 data_len;
};

int bsv_net_hdr_init(void *frame, int type);
// Writes the length (and the CRC byte), then enciphers; the final length,
// or -1 when len is too long.
int bsv_net_hdr_finish(void *frame, int len);
int bsv_net_cipher(void *frame, int len);
void bsv_net_cipher_set(int on);
int bsv_net_cipher_get(void);
// Frame buffer of at least BSV_NET_MAX bytes; the frame length, or -1 when
// host name and payload take more than BSV_NET_INFO_DATA_MAX - 1 bytes.
int bsv_net_info_build(void *frame, int type_id, const void *payload, int len);
// Checks a received frame (deciphering it in place): its record type, or
// -1 (logged at dbg).
int bsv_parse_net_type(void *frame, int len);
// Parses a checked info frame (type 5 or 6; the byte order comes from the
// type). ctx is a value context of the info schema. 0, or -1 when the frame
// is no info frame or its record is cut short.
int bsv_net_info_parse(const void *frame, int len, const bsv_value *ctx, bsv_net_info *out);
