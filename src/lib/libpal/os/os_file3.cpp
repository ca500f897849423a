#include "libpal/os/os_file3.h"

int os_file_skip_bom(FILE *f)
{
    if (!f) return -1;
    unsigned char b[3] = {0, 0, 0};
    size_t n = fread(b, 1, 3, f);
    bool bom = n == 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    return fseek(f, bom ? 3 : 0, SEEK_SET);
}

int os_file_write_bom(FILE *f)
{
    static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
    return f ? (int)fwrite(bom, 3, 1, f) : 0;
}
