#include "regex/Compiler.h"

#include "regex/Analysis.h"
#include "regex/FastPaths.h"
#include "regex/Parser.h"
#include "regex/Prefix.h"

namespace regex {
namespace detail {

void compile_pattern(compiled_pattern& Out, const std::string& Text, unsigned Flags, unsigned Mode)
{
    Out.Text = Text;
    Out.Flags = Flags;
    Out.Mode = Mode;
    const parse_facts facts = parse_pattern(Out);
    measure_widths(Out);

    // Anchoring.
    const unsigned flags = Out.Flags;
    if (!(flags & MULTILINE) && Out.Top->AltCount == 1 && facts.FirstIsCaret) {
        Out.TryAllStarts = false;
        Out.Flags &= ~static_cast<unsigned>(FROM_RIGHT);
    } else if (!(flags & FROM_RIGHT) && (flags & SINGLELINE) && Out.Top->AltCount == 1 &&
               facts.FirstIsDotRepeat) {
        Out.TryAllStarts = false;
    }
    build_prefix(Out);
    number_visible_groups(Out);
    analyse_fast_paths(Out, facts.HasBackrefs);
}

} // namespace detail
} // namespace regex
