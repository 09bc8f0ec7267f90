#include <dlfcn.h>

#include "platform/dynamic_library.h"

namespace platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::Open(const std::string& name, std::string& error) {
    const std::string path = ResolveLibraryName(name);
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        error = text != nullptr ? text : path + ": cannot be opened";
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle, path));
}

DynamicLibrary::~DynamicLibrary() { dlclose(m_handle); }

void* DynamicLibrary::Symbol(const char* name) const { return dlsym(m_handle, name); }

}  // namespace platform
