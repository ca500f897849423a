// Command-line splitting: the counting call sizes the buffers exactly.
#include "fuzz_common.h"

#include "libpal/string/str_glob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back(0);
    int argc = 0;
    size_t nchars = 0;
    str_args_split(text.data(), nullptr, nullptr, &argc, &nchars);
    FUZZ_ASSERT(argc >= 2 && nchars >= (size_t)argc - 1 && nchars <= size + 1);

    std::vector<char *> argv((size_t)argc);
    std::vector<char> buf(nchars);
    int argc2 = 0;
    size_t n2 = 0;
    str_args_split(text.data(), argv.data(), buf.data(), &argc2, &n2);
    FUZZ_ASSERT(argc2 == argc && n2 == nchars);
    FUZZ_ASSERT(argv[argc - 1] == nullptr);
    for (int i = 0; i + 1 < argc; ++i) FUZZ_ASSERT(argv[i] >= buf.data() && argv[i] < buf.data() + nchars);

    std::vector<char> line(64);
    str_args_join(argc - 1, argv.data(), line.data(), line.size());
    char name[16];
    str_cmd_name(text.data(), name, sizeof name);
    char err[STR_CHECK_ERR_SIZE];
    str_check_name(text.data(), 31, err);
    return 0;
}
