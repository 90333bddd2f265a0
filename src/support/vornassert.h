// Internal consistency checks of the support code. A failed check means the
// program's own state is corrupt, so it reports where and stops at once.
#pragma once

[[noreturn]] void vornAssertFailed(const char *estr, const char *file, int line);

#define vornAssert(_e) ((_e) ? (void)0 : vornAssertFailed(#_e, __FILE__, __LINE__))
