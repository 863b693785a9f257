#include "regex/Regex.h"

#include "regex/Compiler.h"
#include "regex/Nodes.h"
#include "regex/Results.h"

namespace regex {

rpattern_base::rpattern_base(const std::string& Pattern, unsigned Flags, unsigned Mode,
                             const std::string& Substitution)
{
    auto compiled = std::make_shared<detail::compiled_pattern>();
    detail::compile_pattern(*compiled, Pattern, Flags, Mode);
    compiled->SubstText = Substitution;
    compiled->Subst = detail::parse_substitution(Substitution, Flags, compiled->VisibleCount - 1);
    m_Compiled = std::move(compiled);
}

unsigned rpattern_base::flags() const
{
    return m_Compiled->Flags;
}

unsigned rpattern_base::mode() const
{
    return m_Compiled->Mode;
}

std::size_t rpattern_base::group_count() const
{
    return m_Compiled->VisibleCount;
}

std::size_t rpattern_base::internal_group_count() const
{
    return m_Compiled->GroupCounter;
}

std::size_t rpattern_base::min_width() const
{
    return m_Compiled->Width.Min;
}

std::size_t rpattern_base::max_width() const
{
    return m_Compiled->Width.Max;
}

bool rpattern_base::anchored() const
{
    return !m_Compiled->TryAllStarts;
}

std::string rpattern_base::prefix_literal() const
{
    return m_Compiled->HasPrefix ? m_Compiled->PrefixLower : std::string();
}

std::string rpattern_base::first_chars() const
{
    std::string bytes;
    const detail::group_node* top = m_Compiled->Top;
    if (top->HasFirst) {
        for (unsigned ch = 0; ch < 256; ++ch) {
            if (top->First.test(static_cast<unsigned char>(ch))) {
                bytes += static_cast<char>(ch);
            }
        }
    }
    return bytes;
}

std::string rpattern_base::dump() const
{
    return detail::dump_pattern(*m_Compiled);
}

const std::vector<subst_item>& rpattern_base::substitution() const
{
    return m_Compiled->Subst;
}

bool rpattern_base::search(const char* Begin, const char* End, bool NulTerminated,
                           const match_options& Options, std::vector<detail::raw_record>& Records,
                           bool& LimitReached) const
{
    return detail::run_search(*m_Compiled, Begin, End, NulTerminated, Options, Records, LimitReached);
}

} // namespace regex
