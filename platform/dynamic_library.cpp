#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

namespace platform {

namespace {
ScopedLibraryRedirect* g_redirects = nullptr;
}  // namespace

ScopedLibraryRedirect::ScopedLibraryRedirect(std::string name, std::string path)
    : m_name(std::move(name)), m_path(std::move(path)), m_previous(g_redirects) {
    g_redirects = this;
}

ScopedLibraryRedirect::~ScopedLibraryRedirect() { g_redirects = m_previous; }

std::string ResolveLibraryName(const std::string& name) {
    for (const ScopedLibraryRedirect* r = g_redirects; r != nullptr; r = r->m_previous) {
        if (r->m_name == name) return r->m_path;
    }
    const char* env = std::getenv("QUIL_LIBRARY_REDIRECT");
    if (env != nullptr) {
        std::string_view rest(env);
        while (!rest.empty()) {
            const size_t end = rest.find(';');
            const std::string_view item = rest.substr(0, end);
            const size_t eq = item.find('=');
            if (eq != std::string_view::npos && item.substr(0, eq) == name) return std::string(item.substr(eq + 1));
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
    }
    return name;
}

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
