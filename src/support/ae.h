// Readiness wait on a single descriptor.
#pragma once

#define AE_NONE 0
#define AE_READABLE 1
#define AE_WRITABLE 2

// Waits up to milliseconds (negative: forever) for fd to become ready for
// what mask asks (AE_READABLE, AE_WRITABLE). Returns the ready mask; an error
// or hang-up on the descriptor reports AE_WRITABLE so that the caller's next
// write surfaces it. 0 on timeout; -1 (every bit set) when poll itself fails.
int aeWait(int fd, int mask, long long milliseconds);
