#pragma once
// TCP shell server: one network shell session per connection.
int debug_shell_server_init(const char *addrs, int port);
int debug_shell_server_exit(void);
