#include "support/runtime_library.h"

void *runtimeLibraryOpen(const char *soname, const char **why) {
    void *lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && why != nullptr) {
        const char *err = dlerror();
        *why = err != nullptr ? err : "unknown error";
    }
    return lib;
}
