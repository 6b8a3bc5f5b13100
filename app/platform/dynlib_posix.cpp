// Run-time libraries on Linux: dlopen with every symbol resolved up front
// and kept out of the global namespace.
#include "platform/dynlib.h"

#include <dlfcn.h>

namespace tarvex {

namespace {
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL;
}

DynamicLibrary DynamicLibrary::openFullPath(const std::string& path)
{
    // A name without a folder would let the loader pick any copy on its
    // search path.
    if (path.find('/') == std::string::npos)
        return DynamicLibrary();
    return DynamicLibrary(dlopen(path.c_str(), kOpenFlags));
}

DynamicLibrary DynamicLibrary::openSystem(const char* fileName)
{
    // A system library keeps process-wide state (the PC/SC client its list
    // of contexts and their buffers) for as long as the process lives:
    // unmapping it when our handle closes would only orphan that state.
    return DynamicLibrary(dlopen(fileName, kOpenFlags | RTLD_NODELETE));
}

void* DynamicLibrary::symbol(const char* name) const
{
    return handle_ ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::close()
{
    if (handle_)
        dlclose(handle_);
    handle_ = nullptr;
}

} // namespace tarvex
