#pragma once
// Status codes of the framework, their texts, and error records.
#include "libpal/env/os_types.h"

struct verr_msg {
    const char *msg;
    i32 code;
};
// The status table, closed by a row whose text is NULL.
extern const verr_msg verr_msg_tab[];
constexpr int VERR_MSG_ROWS = 258;

const char *verr2str(int code);
int verr_2_posix(int code);
int os_verr_2_posix(int code);
int verr_set_errno(int code);

struct os_err {
    const char *file;
    const char *func;
    u32 line;
    i32 code;
    char msg[4096];
};

void os_err_set(os_err *err, const char *file, int line, const char *func, int code,
                const char *fmt, ...) OS_PRINTF(6, 7);
void os_err_set_reason(os_err *err, const char *file, int line, const char *func, int code,
                       const char *reason, const char *fmt, ...) OS_PRINTF(7, 8);
const char *os_err_str(const os_err *err);
void os_err_copy(os_err *dst, const os_err *src);
char *os_errno_str(int eno, char *buf, size_t size);
const char *os_errno_text(int eno);
const char *os_strerror(void);

#define OS_ERR_SET(err, code, ...) os_err_set((err), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
