#include "platform/log_repeats.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace platform {

namespace {

// Whether `block` is not itself a shorter block repeated.
bool Primitive(const std::deque<std::string>& masked, size_t first, size_t length) {
    for (size_t period = 1; period < length; ++period) {
        if (length % period != 0) continue;
        bool repeats = true;
        for (size_t i = period; i < length && repeats; ++i) repeats = masked[first + i] == masked[first + i - period];
        if (repeats) return false;
    }
    return true;
}

}  // namespace

std::string MaskNumbers(const std::string& text) {
    std::string masked;
    masked.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (!digit) {
            masked += text[i];
        } else if (i == 0 || std::isdigit(static_cast<unsigned char>(text[i - 1])) == 0) {
            masked += '#';
        }
    }
    return masked;
}

void LogRepeats::Remember(const std::string& text, std::string masked) {
    m_history.push_back({text, std::move(masked)});
    while (m_history.size() > 2 * kMaxBlock) m_history.pop_front();
}

void LogRepeats::Report(std::vector<std::string>& out) {
    if (m_heldBack == 0) return;
    char count[96];
    if (m_block.size() == 1) {
        std::string text = m_block.front();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::snprintf(count, sizeof count, " (repeated %zu more %s)\n", m_heldBack, m_heldBack == 1 ? "time" : "times");
        out.push_back(text + count);
    } else {
        std::snprintf(count, sizeof count, "(the block of %zu entries above repeated: %zu more %s left out)\n",
                      m_block.size(), m_heldBack, m_heldBack == 1 ? "entry" : "entries");
        out.emplace_back(count);
    }
    m_heldBack = 0;
}

// The longest block that the latest entries show twice in a row; a block
// that is itself a shorter one repeated is left to that shorter one, so that
// a pair repeated inside a longer cycle does not hide the cycle.
void LogRepeats::FindBlock() {
    std::deque<std::string> masked;
    for (const Entry& e : m_history) masked.push_back(e.masked);
    const size_t n = masked.size();
    for (size_t length = std::min(kMaxBlock, n / 2); length >= 1; --length) {
        const size_t second = n - length;
        const size_t first = second - length;
        if (!std::equal(masked.begin() + static_cast<std::ptrdiff_t>(first),
                        masked.begin() + static_cast<std::ptrdiff_t>(second),
                        masked.begin() + static_cast<std::ptrdiff_t>(second)))
            continue;
        if (!Primitive(masked, second, length)) continue;
        m_block.clear();
        for (size_t i = second; i < n; ++i) m_block.push_back(m_history[i].text);
        m_position = 0;
        m_heldBack = 0;
        return;
    }
}

void LogRepeats::Offer(const std::string& text, std::vector<std::string>& out) {
    std::string masked = MaskNumbers(text);
    if (!m_block.empty()) {
        const size_t at = m_position;
        if (text == m_block[at]) {
            ++m_heldBack;
            m_position = (at + 1) % m_block.size();
            Remember(text, std::move(masked));
            return;
        }
        Report(out);
        if (masked == MaskNumbers(m_block[at])) {
            // The same entry with other numbers: written, and held back from
            // now on in this form.
            m_block[at] = text;
            m_position = (at + 1) % m_block.size();
            out.push_back(text);
            Remember(text, std::move(masked));
            return;
        }
        m_block.clear();
    }
    out.push_back(text);
    Remember(text, std::move(masked));
    FindBlock();
}

void LogRepeats::Flush(std::vector<std::string>& out) {
    Report(out);
    m_block.clear();
    m_history.clear();
    m_position = 0;
}

}  // namespace platform
