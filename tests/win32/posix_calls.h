// The few POSIX calls the shared tests make (a private folder, an environment
// variable, the process id), for their Windows build: included before every
// test file there, so that the tests themselves stay as they are.
#pragma once

#include <direct.h>
#include <process.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/environment.h"

// Makes the folder PATTERN names, its trailing "XXXXXX" replaced as mkdtemp
// does. A POSIX test's "/tmp/..." is "\tmp\..." on the current drive here,
// made when missing.
inline char* mkdtemp(char* pattern) {
    const size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
    if (std::strncmp(pattern, "/tmp/", 5) == 0) _mkdir("/tmp");
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    // Names differ from run to run, so a folder an earlier run left is no clash.
    static const bool seeded =
        (std::srand(static_cast<unsigned>(_getpid()) ^ static_cast<unsigned>(std::time(nullptr))), true);
    (void)seeded;
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = length - 6; i < length; ++i) pattern[i] = kLetters[std::rand() % (sizeof kLetters - 1)];
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    return platform::SetEnvironmentValue(name, value) ? 0 : -1;
}

inline int unsetenv(const char* name) {
    platform::UnsetEnvironmentValue(name);
    return 0;
}

inline int getpid() { return _getpid(); }
