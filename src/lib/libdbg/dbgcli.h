#pragma once
// Shell client: sends command strings to a running instance's shell server.
int debug_shell_cli_exec(const char *host, int port, const char *cmds);
