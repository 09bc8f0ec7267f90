#include "platform/dynamic_library.h"

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

}  // namespace platform
