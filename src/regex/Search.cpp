#include "regex/Matcher.h"

#include "regex/MatchSupport.h"
#include "regex/Scanners.h"

#include <algorithm>
#include <cstring>

namespace regex {
namespace detail {

matcher::matcher(const compiled_pattern& Pattern, const char* Begin, const char* End, bool NulTerminated,
                 const match_options& Options)
    : m_Pattern(Pattern), m_Begin(Begin), m_SubjectEnd(End), m_End(End), m_NulTerminated(NulTerminated),
      m_Options(Options)
{
    m_Records.resize(Pattern.GroupCounter);
    m_Stack.resize(48);
}

void matcher::reset_records()
{
    const group_record unmatched{nullptr, nullptr, nullptr, nullptr, nullptr, 0, false};
    // Every search starts with this: the count and the records are read once, not after each store.
    group_record* const records = m_Records.data();
    const size_t count = m_Records.size();
    for (size_t i = 0; i < count; ++i) {
        records[i] = unmatched;
    }
}

search_outcome matcher::search(const char* From, bool RejectEmpty)
{
    if (m_Pattern.WholeLiteral && m_Options.fast_paths) {
        return search_literal(From);
    }
    m_RejectEmpty = RejectEmpty;
    m_RejectAt = From;
    m_Steps = m_Options.step_limit ? m_Options.step_limit : static_cast<std::size_t>(-1);
    m_Backtracks = m_Options.backtrack_limit ? m_Options.backtrack_limit : static_cast<std::size_t>(-1);
    reset_records();
    std::fill(m_FailFrom.begin(), m_FailFrom.begin() + static_cast<std::ptrdiff_t>(m_Pattern.MemoSlots),
              nullptr);
    const size_t minWidth = m_Pattern.Width.Min;
    if (static_cast<size_t>(m_SubjectEnd - From) < minWidth) {
        return search_outcome::failed;
    }
    const char* last = m_SubjectEnd - minWidth;
    try {
        const bool found =
            m_Options.fast_paths ? search_starts<true>(From, last) : search_starts<false>(From, last);
        if (!found) {
            reset_records();
        }
        return found ? search_outcome::matched : search_outcome::failed;
    } catch (const limit_exceeded&) {
        reset_records();
        m_Sp = 0;
        return search_outcome::limit;
    }
}

// The search of a pattern that is one literal (compiled_pattern::WholeLiteral); it never matches empty.
search_outcome matcher::search_literal(const char* From)
{
    const std::string& literal = m_Pattern.Literal;
    const size_t m = literal.size();
    const char* hit = nullptr;
    if (static_cast<size_t>(m_SubjectEnd - From) >= m) {
        if (m_Pattern.LiteralAnchored) {
            hit = From == m_Begin && std::memcmp(From, literal.data(), m) == 0 ? From : nullptr;
        } else if (m == 1) {
            hit = static_cast<const char*>(
                std::memchr(From, literal[0], static_cast<size_t>(m_SubjectEnd - From)));
        } else {
            hit = find_literal(From, m_SubjectEnd - m, literal.data(), m, m_Pattern.LiteralProbes);
        }
    }
    if (!hit) {
        reset_records();
        return search_outcome::failed;
    }
    m_Records[0] = group_record{hit, hit + m, hit, nullptr, nullptr, 0, true};
    return search_outcome::matched;
}

template <bool Fast> bool matcher::search_starts(const char* From, const char* Last)
{
    const compiled_pattern& pattern = m_Pattern;
    const bool fromRight = (pattern.Flags & FROM_RIGHT) && !m_NulTerminated;
    const bool required =
        Fast && pattern.RequiredByte >= 0 && pattern.TryAllStarts && !pattern.FirstStartOnly;
    if (required && fromRight) {
        // Every match contains this byte, at or after its start: no start beyond its last occurrence.
        const void* found = memrchr(From, pattern.RequiredByte, static_cast<size_t>(m_SubjectEnd - From));
        if (!found) {
            return false;
        }
        Last = std::min(Last, static_cast<const char*>(found));
    }
    // From left to right, the byte is looked for ahead of each start, from where it was last found: when it
    // no longer occurs, no later start can match, and the search ends there. Each byte is looked at once
    // per search, and a scan that searches again from the end of each match looks at each byte once or
    // twice, however long the rest of the subject without the byte is.
    const char* requiredAt = nullptr; // the byte's place found last, at or after the last start checked
    const auto requiredAhead = [&](const char* Start) {
        if (!required || (requiredAt != nullptr && requiredAt >= Start)) {
            return true;
        }
        requiredAt = static_cast<const char*>(
            std::memchr(Start, pattern.RequiredByte, static_cast<size_t>(m_SubjectEnd - Start)));
        return requiredAt != nullptr;
    };
    if (fromRight) {
        for (const char* start = Last;; --start) {
            if (attempt<Fast>(start)) {
                return true;
            }
            if (start == From) {
                return false;
            }
        }
    }
    if (!pattern.TryAllStarts || (Fast && pattern.FirstStartOnly)) {
        return attempt<Fast>(From);
    }
    if (Fast && pattern.HasPrefix) {
        for (const char* start = find_prefix(From, Last); start; start = find_prefix(start + 1, Last)) {
            if (!requiredAhead(start)) {
                return false;
            }
            if (attempt<Fast>(start)) {
                return true;
            }
        }
        return false;
    }
    if (Fast && pattern.HasTopFirst) {
        for (const char* start = find_first(From, Last); start; start = find_first(start + 1, Last)) {
            if (!requiredAhead(start)) {
                return false;
            }
            if (attempt<Fast>(start)) {
                return true;
            }
        }
        return false;
    }
    for (const char* start = From;; ++start) {
        if (!requiredAhead(start)) {
            return false;
        }
        if (attempt<Fast>(start)) {
            return true;
        }
        if (start == Last) {
            return false;
        }
    }
}

// The first occurrence of the leading literal that starts in [From, Last], or null. Every match starts with
// the literal and is at least as long, so an occurrence starting at or before Last lies inside the subject.
const char* matcher::find_prefix(const char* From, const char* Last) const
{
    if (From > Last) {
        return nullptr;
    }
    const std::string& lower = m_Pattern.PrefixLower;
    const std::string& upper = m_Pattern.PrefixUpper;
    const size_t m = lower.size();
    if (lower == upper) {
        return find_literal(From, Last, lower.data(), m, m_Pattern.PrefixProbes);
    }
    // Horspool over both case forms, with the pattern's skip table.
    for (const char* cur = From; cur <= Last;) {
        size_t k = m;
        while (k > 0 && (cur[k - 1] == lower[k - 1] || cur[k - 1] == upper[k - 1])) {
            --k;
        }
        if (k == 0) {
            return cur;
        }
        const size_t shift = m_Pattern.Skip[byte_at(cur + m - 1)];
        if (static_cast<size_t>(Last - cur) < shift) {
            return nullptr;
        }
        cur += shift;
    }
    return nullptr;
}

// The first position in [From, Last] whose byte may begin a match, or null.
const char* matcher::find_first(const char* From, const char* Last) const
{
    if (From > Last) {
        return nullptr;
    }
    if (m_Pattern.TopFirstSingle >= 0) {
        return static_cast<const char*>(
            std::memchr(From, m_Pattern.TopFirstSingle, static_cast<size_t>(Last - From) + 1));
    }
    const byte_set& first = m_Pattern.TopFirst;
    const char* cur = From;
    while (cur <= Last && !first.test(byte_at(cur))) {
        ++cur;
    }
    return cur <= Last ? cur : nullptr;
}

template <bool Fast> bool matcher::attempt(const char* Start)
{
    m_Sp = 0;
    m_Barrier = 0;
    m_End = m_SubjectEnd;
    return run<Fast>(Start);
}

} // namespace detail
} // namespace regex
