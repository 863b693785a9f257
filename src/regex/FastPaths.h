// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the fast-path analysis. It marks what lets a search skip work without changing its result:
// first-byte filters of alternatives and of the whole pattern, the bytes that may follow a repetition (so
// that it scans instead of trying each length), look-arounds that need no machine, a byte every match
// contains, failure memos of repetitions, and patterns that are one literal. A search with
// match_options::fast_paths off ignores all of it.
#pragma once

#include "regex/Nodes.h"

namespace regex {
namespace detail {

/// Fills the fast-path fields of Pattern's nodes and of Pattern. HasBackrefs: the pattern has a
/// back-reference (some paths then do not apply).
void analyse_fast_paths(compiled_pattern& Pattern, bool HasBackrefs);

} // namespace detail
} // namespace regex
