// The terminal underneath the editor: raw mode and its restoration, the
// window width, and byte-level reads and writes.
#pragma once

#include <cstddef>
#include <string_view>

namespace lineedit::term {

// TERM names a terminal that cannot take the editor's escape sequences.
bool isUnsupportedTerm();

// Switches `fd` to raw mode; the previous mode comes back with
// disableRawMode, and also when the process exits while still raw.
// Returns 0, or -1 with errno set (ENOTTY for a non-terminal).
int enableRawMode(int fd);
void disableRawMode(int fd);

// Width of the terminal in columns: the window size when the terminal reports
// one, else measured by moving the cursor to the far right, else 80.
size_t columns(int ifd, int ofd);
// Window size only; 0 when unknown.
size_t windowColumns(int ofd);

bool writeAll(int fd, std::string_view data);
// Reads one byte. Returns 1, 0 when `timeout_ms` (>= 0) passed without
// input, -1 at end of input or on error.
int readByte(int fd, unsigned char &c, int timeout_ms);
// True when a byte can be read at once.
bool inputPending(int fd);

} // namespace lineedit::term
