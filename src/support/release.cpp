#include "support/release.h"

const char *vornGitSHA1(void) {
    return "00000000";
}

const char *vornGitDirty(void) {
    return "0";
}
