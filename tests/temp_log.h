// The log sent to a file of the test's own and read back as text.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"

class TempLog {
public:
    TempLog() {
        m_path = std::filesystem::temp_directory_path() /
                 ("quil_test_" + std::to_string(::getpid()) + "_" + std::to_string(s_counter++) + ".log");
        std::filesystem::remove(m_path);
        SetLogFilePath(m_path.string());
    }
    ~TempLog() {
        SetLogFilePath("QuilUpdate.log");
        std::filesystem::remove(m_path);
    }
    TempLog(const TempLog&) = delete;
    TempLog& operator=(const TempLog&) = delete;

    std::string Text() const {
        CloseLogFile();
        std::ifstream in(m_path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    size_t Count(const std::string& needle) const {
        const std::string text = Text();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    }
    // True when every entry appears, each after the one before. An entry is
    // matched as the message after the time stamp ("... hh:mm:ss <entry>").
    bool InOrder(const std::vector<std::string>& entries) const {
        const std::string text = Text();
        size_t at = 0;
        for (const std::string& e : entries) {
            at = text.find(" " + e, at);
            if (at == std::string::npos) return false;
            at += e.size();
        }
        return true;
    }

private:
    std::filesystem::path m_path;
    static inline int s_counter = 0;
};
