#pragma once
// The halving's marker file as the halving itself uses it (fd_move.cpp):
// made, written and let go in the directory that holds the file. Other
// callers use fd_move.h.
#include "libpal/os/fd_move.h"

namespace fd_mark {

// The marker's text while no copy is pending.
void none_text(char out[FD_HALVE_MARK_LEN]);
// The marker names work that is not done.
bool pending(const fd_halve_mark *m);
// A part that can be copied down without writing over its own bytes.
bool apart(i64 from, i64 end, i64 to);
// The end of the last whole record of [from, size) by m's rule.
i64 whole_end(const fd_halve_mark *m, int fd, i64 from, i64 size);
// The marker open for writing: the one kept open, else one made anew
// (whatever stood at its name removed first). False when none can be made
// there; what stood in the way is noted.
bool ready(fd_halve_mark *m);
// Puts text in the marker. False (errno set) when it cannot: the marker
// then holds what it held before, or, when a write that stopped part way
// cannot be put back either, it is dropped.
bool put(fd_halve_mark *m, const char *text);
// The marker no longer says what holds, since its text could not be
// brought up to date (eno): removed, or emptied where it cannot be, and
// noted. Nothing when none is held (dropped already).
void drop(fd_halve_mark *m, int eno);
// Brings the marker's text to what holds now; dropped when it cannot.
void settle(fd_halve_mark *m, const char *text);

}  // namespace fd_mark
