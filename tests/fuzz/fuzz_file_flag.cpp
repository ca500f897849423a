// Flag texts and flag conversions of the file layer, and the prefix
// stripper that every open runs.
#include "fuzz_common.h"

#include "libpal/os/os_file_flag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_parts in(data, size, 2);
    std::string before(in[1]);
    u32 f = os_sflag2pf(in[1]);
    FUZZ_ASSERT((f & ~(u32)(OS_FILE_READ | OS_FILE_RDWR | OS_FILE_DIRECT | OS_FILE_VSS)) == 0);
    FUZZ_ASSERT(before == in[1]);

    u32 word = 0;
    memcpy(&word, in[0], in.len(0) < sizeof word ? in.len(0) : sizeof word);
    os_file_flag_from_access(word, word & 7);
    u32 init = os_file_flag_to_init(word);
    FUZZ_ASSERT(init & OS_FILE_POSIX);
    os_file_flag_to_os(word);

    size_t room = in.len(0) % 300 + 1;
    std::vector<char> out(room);
    os_path_strip_prefix(in[1], out.data(), room);
    FUZZ_ASSERT(strlen(out.data()) < room);
    FUZZ_ASSERT(!strchr(out.data(), '\\'));
    std::vector<char> big(9000);
    os_path_strip_prefix(in[1], big.data(), big.size());
    FUZZ_ASSERT(strlen(big.data()) <= 8192);
    return 0;
}
