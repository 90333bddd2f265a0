// Run-time loading of libcurl's easy interface.
#include "cli/libcurl.h"

#include <dlfcn.h>

namespace {

// The soname of the runtime library; the development package only provides
// the header here.
const char *const LIBCURL_SONAME = "libcurl.so.4";

template <typename Fn> bool resolve(void *lib, const char *name, Fn &fn) {
    fn = reinterpret_cast<Fn>(dlsym(lib, name));
    return fn != nullptr;
}

const CurlEasyApi *load() {
    static CurlEasyApi api;
    // Kept loaded for the rest of the process: a transfer may leave threads
    // (the resolver's) or handlers behind that still point into it.
    void *lib = dlopen(LIBCURL_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return nullptr;
    if (!resolve(lib, "curl_easy_init", api.easy_init) ||
        !resolve(lib, "curl_easy_setopt", api.easy_setopt) ||
        !resolve(lib, "curl_easy_perform", api.easy_perform) ||
        !resolve(lib, "curl_easy_getinfo", api.easy_getinfo) ||
        !resolve(lib, "curl_easy_cleanup", api.easy_cleanup)) {
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
