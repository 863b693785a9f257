// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the parser. It reads a Perl-syntax pattern token by token (Syntax.h, Charset.h) and builds the
// node tree of Nodes.h: each group's alternatives, each ending in an end_group node, quantifier nodes
// around their atoms, visible groups numbered in the order of their opening parentheses and invisible ones
// (non-capturing groups, flag groups) numbered after them as they come. Group widths and everything the
// search uses are left to the later stages (Compiler.h).
#pragma once

#include "regex/Nodes.h"

namespace regex {
namespace detail {

/// What the parser saw that the later stages need.
struct parse_facts {
    bool HasBackrefs = false;      ///< the pattern has a back-reference
    bool FirstIsCaret = false;     ///< the pattern begins with ^
    bool FirstIsDotRepeat = false; ///< the pattern begins with .* .+ .*? or .+?
};

/// Parses Out.Text under Out.Flags into Out: Top, End (the end_of_pattern node), Groups sized to every
/// internal group, GroupCounter, VisibleCount, Invisible, HasRecursion, RecursiveAllowed. Throws
/// bad_regexpr with the reason; Out must then be discarded.
parse_facts parse_pattern(compiled_pattern& Out);

} // namespace detail
} // namespace regex
