#pragma once
// Named record rings of bsv log records.
int bsv_rbuf_exit(void);
