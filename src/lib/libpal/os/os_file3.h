#pragma once
// Whole-file helpers over open streams.
#include <cstdio>

// Skips a UTF-8 byte-order mark; returns the final fseek's result.
int os_file_skip_bom(FILE *f);
// Writes the UTF-8 byte-order mark; fwrite's item count.
int os_file_write_bom(FILE *f);
