// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the prefix table. A pattern of one alternative that begins with a literal (after assertions)
// is searched for by that literal first: two of its least common bytes are tested 16 or 32 starts at a
// time, or, when it ignores case, a Horspool skip table over both case forms is used.
#pragma once

#include "regex/Nodes.h"

#include <array>
#include <cstddef>
#include <string>

namespace regex {
namespace detail {

/// Sets Pattern.HasPrefix, PrefixLower, PrefixUpper, PrefixProbes and Skip when the pattern begins with a
/// literal.
void build_prefix(compiled_pattern& Pattern);

/// The two positions of Needle (at least two bytes) whose bytes are least common in the pages the program
/// reads: a scan for the needle tests those first, so that few places need a full comparison.
std::array<size_t, 2> choose_probes(const std::string& Needle);

} // namespace detail
} // namespace regex
