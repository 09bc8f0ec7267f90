// Keeps floods out of the log. A unit that keeps failing the same way makes
// the same entries over and over: one status line per pass of a loop, or the
// same block of reconnect entries every second. Once an entry, or a block of
// up to kMaxBlock entries, has come twice in a row, further exact repeats are
// counted instead of written, and one report entry says how many were left
// out when something else comes (or the log is closed):
//   "<entry> (repeated N more times)" for one entry,
//   "(the block of P entries above repeated: N more entries left out)" for a
//   block (and "entry" for one).
// Repeats are found by their text with every number masked, so a block in
// which a time-out's elapsed milliseconds vary is still one block; an entry
// that differs from the held one in its numbers is written, after a report
// of what was held back before it. No distinct text is ever left out.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace platform {

class LogRepeats {
public:
    static constexpr size_t kMaxBlock = 32;

    // Takes the next entry; appends the entries to write now, in order
    // (none while a repeat is held back).
    void Offer(const std::string& text, std::vector<std::string>& out);
    // Appends the report of the repeats held back, if any, and starts afresh.
    void Flush(std::vector<std::string>& out);

private:
    struct Entry {
        std::string text;
        std::string masked;
    };
    void Remember(const std::string& text, std::string masked);
    void Report(std::vector<std::string>& out);
    void FindBlock();

    std::deque<Entry> m_history;       // the latest entries, written or held back
    std::vector<std::string> m_block;  // the block being repeated, empty when none
    size_t m_position = 0;             // where the next repeat stands in the block
    size_t m_heldBack = 0;             // entries left out since the last report
};

// The entry's text with every run of decimal digits replaced by '#'.
std::string MaskNumbers(const std::string& text);

}  // namespace platform
