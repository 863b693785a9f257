// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time).
//
// Match results of the regular-expression engine: what a search hands back to its caller (only the
// capturing groups, as offsets), repeated searching for GLOBAL, and the substitution-text syntax.
#pragma once

#include "regex/Nodes.h"

#include <string>
#include <vector>

namespace regex {
namespace detail {

/// Runs one search request over [Begin, End): a single search, or with GLOBAL one search after another,
/// each starting where the previous match ended. Records receives the records the caller sees (part of
/// Regex.h's contract): after a match record 0 and the capturing groups; after a failed single search one
/// unmatched record per internal group. LimitReached: a search gave up at a limit of Options.
bool run_search(const compiled_pattern& Pattern, const char* Begin, const char* End, bool NulTerminated,
                const match_options& Options, std::vector<raw_record>& Records, bool& LimitReached);

/// Parses a substitution text into items. Flags: the construction flags (C_ESCAPES matters);
/// CapturingGroups: the pattern's capturing groups, group 0 not counted. Throws bad_regexpr with
/// "invalid backreference in substitution" or "expecting escape sequence in substitution string".
std::vector<subst_item> parse_substitution(const std::string& Text, unsigned Flags, size_t CapturingGroups);

} // namespace detail
} // namespace regex
