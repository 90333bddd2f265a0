// Run-time loading of libcurl's easy interface.
#include "cli/libcurl.h"

#include "support/runtime_library.h"

namespace {

// The soname of the runtime library; the development package only provides
// the header here.
const char *const LIBCURL_SONAME = "libcurl.so.4";

const CurlEasyApi *load() {
    static CurlEasyApi api;
    // Kept loaded for the rest of the process: a transfer may leave threads
    // (the resolver's) or handlers behind that still point into it.
    void *lib = runtimeLibraryOpen(LIBCURL_SONAME);
    if (lib == nullptr) return nullptr;
    if (!runtimeLibraryResolve(lib, "curl_easy_init", api.easy_init) ||
        !runtimeLibraryResolve(lib, "curl_easy_setopt", api.easy_setopt) ||
        !runtimeLibraryResolve(lib, "curl_easy_perform", api.easy_perform) ||
        !runtimeLibraryResolve(lib, "curl_easy_getinfo", api.easy_getinfo) ||
        !runtimeLibraryResolve(lib, "curl_easy_cleanup", api.easy_cleanup)) {
        dlclose(lib);
        return nullptr;
    }
    return &api;
}

} // namespace

const CurlEasyApi *curlEasyApi() {
    static const CurlEasyApi *api = load();
    return api;
}
