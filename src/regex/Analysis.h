// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): the facts about groups that every later stage builds on. The first-byte set of a group is
// known as soon as the parser completes it (its nested groups are complete by then); widths need the whole
// tree, since a back-reference is as wide as its group; the table from visible to internal numbers follows
// from the invisible groups the parser numbered.
#pragma once

#include "regex/Nodes.h"

#include <cstddef>

namespace regex {
namespace detail {

/// Adds the byte a chr, chr_nocase, literal or literal_nocase node begins with, in both cases when it ignores
/// case.
void add_leading_bytes(const node* Node, byte_set& Out);

/// Called by the parser when Group's alternatives are linked: sets Group's first-byte set (HasFirst,
/// First), enters it into Pattern.Groups by number, and records the internal numbers made inside it
/// ([NestedFirst, Pattern.GroupCounter)).
void note_completed_group(compiled_pattern& Pattern, group_node* Group, size_t NestedFirst);

/// The width of every node and group and of the pattern (Pattern.Width), and the internal number of every
/// back-reference and conditional. Throws bad_regexpr ("reference to nonexistent group").
void measure_widths(compiled_pattern& Pattern);

/// Fills Pattern.VisibleToInternal.
void number_visible_groups(compiled_pattern& Pattern);

} // namespace detail
} // namespace regex
