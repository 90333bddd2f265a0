// Shared libraries the client loads only when a feature needs them, so that
// a run which does not use the feature does not pay the dynamic loader for
// them (and for the libraries they depend on) at every start.
#pragma once

#include <dlfcn.h>

// Opens the library with this soname for the rest of the process (a library
// may leave threads or handlers behind that still point into it); null when
// it cannot be loaded, with the loader's reason in *why when why is given.
void *runtimeLibraryOpen(const char *soname, const char **why = nullptr);

// Looks up a function of an opened library (or of a library it depends on)
// as the function type Fn; false when it is missing.
template <typename Fn> bool runtimeLibraryResolve(void *lib, const char *name, Fn &fn) {
    fn = reinterpret_cast<Fn>(dlsym(lib, name));
    return fn != nullptr;
}
