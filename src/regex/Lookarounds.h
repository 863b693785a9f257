// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the runner of simple look-arounds. A look-around whose every alternative is a fixed run of
// simple nodes (bytes, sets, assertions; the compiler marks it Simple) needs no choice points: each
// alternative is tried in turn at the one place it can match, without the machine's stack. The two entry
// points are inline because the machine calls them in its loop; the runner of one alternative,
// matcher::run_simple, lives in Lookarounds.cpp.
#pragma once

#include "regex/MatchSupport.h"
#include "regex/Matcher.h"

namespace regex {
namespace detail {

// Width of a fixed run of simple nodes up to Owner's end_group.
inline size_t chain_width(const node* Head, const group_node* Owner)
{
    size_t width = 0;
    for (const node* cur = Head;
         !(cur->Kind == node_kind::end_group && static_cast<const end_group_node*>(cur)->Group == Owner);
         cur = cur->Next) {
        width += cur->Width.Min;
    }
    return width;
}

inline bool matcher::simple_lookahead(const group_node* Group, const char* Pos) const
{
    for (size_t i = 0; i < Group->AltCount; ++i) {
        if (run_simple(Group->Alts[i], Group, Pos, m_End)) {
            return true;
        }
    }
    return false;
}

inline bool matcher::simple_lookbehind(const group_node* Group, const char* Pos) const
{
    const auto available = static_cast<size_t>(Pos - m_Begin);
    for (size_t i = 0; i < Group->FastAltCount; ++i) {
        const size_t width = chain_width(Group->FastAlts[i], Group);
        if (width <= available && run_simple(Group->FastAlts[i], Group, Pos - width, Pos)) {
            return true;
        }
    }
    return false;
}

} // namespace detail
} // namespace regex
