// Version and build identification of the client.
#pragma once

#define VORN_VERSION "255.255.255"

// Source revision the build was made from, as hexadecimal text; all zeros
// when unknown.
const char *vornGitSHA1(void);
// "1" when the build had uncommitted changes, else "0".
const char *vornGitDirty(void);
