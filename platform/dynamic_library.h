// Dynamic-library seam: a library that may be absent is opened by name at run
// time and its entry points are taken one by one, so that a missing library
// makes one feature unavailable instead of stopping the program.
#pragma once

#include <memory>
#include <string>

namespace platform {

class DynamicLibrary {
public:
    // Opens the library NAME (dlopen, or LoadLibraryW on Windows). A redirect installed for NAME,
    // by ScopedLibraryRedirect or by the environment variable
    // QUIL_LIBRARY_REDIRECT ("NAME=PATH[;NAME=PATH...]"), opens PATH instead.
    // Null with `error` set to the loader's own text when it cannot be opened.
    static std::unique_ptr<DynamicLibrary> Open(const std::string& name, std::string& error);

    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The entry point NAME, or null when the library does not export it.
    void* Symbol(const char* name) const;
    // The path that was opened (after any redirect).
    const std::string& Path() const { return m_path; }

private:
    DynamicLibrary(void* handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}
    void* m_handle;
    std::string m_path;
};

// The library NAME resolves to PATH for the lifetime of this object (tests
// point the seam at the project's fake libraries this way). Redirects nest.
class ScopedLibraryRedirect {
public:
    ScopedLibraryRedirect(std::string name, std::string path);
    ~ScopedLibraryRedirect();
    ScopedLibraryRedirect(const ScopedLibraryRedirect&) = delete;
    ScopedLibraryRedirect& operator=(const ScopedLibraryRedirect&) = delete;

private:
    std::string m_name;
    std::string m_path;
    ScopedLibraryRedirect* m_previous;
    friend std::string ResolveLibraryName(const std::string& name);
};

// The path Open uses for NAME: the innermost scoped redirect, else the
// environment's, else NAME itself (searched the system's way).
std::string ResolveLibraryName(const std::string& name);

}  // namespace platform
