// The compiler of the regular-expression engine: parses a Perl-syntax pattern into the node tree of
// Nodes.h and precomputes what the search needs (widths, first-byte sets, the prefix skip table, anchoring)
// and which fast paths apply.
#pragma once

#include "regex/Nodes.h"

#include <string>

namespace regex {
namespace detail {

/// Compiles Text with the construction Flags into Out, a freshly constructed compiled_pattern (Out.Text,
/// Out.Flags and Out.Mode are set here). Throws bad_regexpr with the reason; Out must then be discarded.
void compile_pattern(compiled_pattern& Out, const std::string& Text, unsigned Flags, unsigned Mode);

} // namespace detail
} // namespace regex
