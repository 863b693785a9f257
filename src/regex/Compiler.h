// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change at
// any time): compilation as a whole. It runs the stages in order: the parser (Parser.h) builds the node tree
// of Nodes.h; the analysis (Analysis.h) numbers the groups and computes widths; the anchoring is decided
// here; the prefix table (Prefix.h) and the fast-path analysis (FastPaths.h) prepare what the search needs.
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
