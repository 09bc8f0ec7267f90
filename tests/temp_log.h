// The log sent to a file of the test's own and read back as text.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log.h"

// The log's entries as they were made: a report of repeats held back
// ("<entry> (repeated N more times)", or "(the block of P entries above
// repeated: N more entries left out)") is replaced by the entries it stands
// for, so that tests count what the program logged.
inline std::string ExpandLogRepeats(const std::string& raw) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    static const std::regex single(R"(^(.*) \(repeated (\d+) more times?\)\n$)");
    static const std::regex block(
        R"(^\(the block of (\d+) entries above repeated: (\d+) more entr(?:y|ies) left out\)\n$)");
    std::vector<std::string> entries;  // with their stamps
    std::vector<size_t> starts;
    for (auto it = std::sregex_iterator(raw.begin(), raw.end(), stamp); it != std::sregex_iterator(); ++it)
        starts.push_back(static_cast<size_t>(it->position()));
    std::string out = raw.substr(0, starts.empty() ? raw.size() : starts.front());
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : raw.size();
        const std::string entry = raw.substr(starts[i], end - starts[i]);
        const std::string text = entry.substr(20);
        std::smatch m;
        if (std::regex_match(text, m, single) && !entries.empty()) {
            for (unsigned long n = std::stoul(m[2]); n > 0; --n) entries.push_back(entries.back());
        } else if (std::regex_match(text, m, block) && entries.size() >= std::stoul(m[1])) {
            const size_t length = std::stoul(m[1]);
            const std::vector<std::string> cycle(entries.end() - static_cast<std::ptrdiff_t>(length), entries.end());
            for (size_t n = 0; n < std::stoul(m[2]); ++n) entries.push_back(cycle[n % length]);
        } else {
            entries.push_back(entry);
        }
    }
    for (const std::string& e : entries) out += e;
    return out;
}

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
        return ExpandLogRepeats(s.str());
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
