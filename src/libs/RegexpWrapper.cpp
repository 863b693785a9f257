#include "libs/RegexpWrapper.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "libs/Exceptions.h"
#include "libs/strings.h"

void RaiseSearchError(const TRegexp& Pattern, std::string_view Searched)
{
    APL_THROW("Ошибка при поиске шаблона: \"" << Pattern.GetPatternText() << "\" в строке "
                                              << Excerpt(Searched, "\""));
}

namespace {

/// The same text of Original as [First, Last) is of Copy, a text of the same size: the same offsets.
std::string_view SameRange(const std::string& Copy, const std::string& Original, TTextIterator First,
                           TTextIterator Last)
{
    FATAL_CHECK(Copy.size() == Original.size());
    return std::string_view(Original).substr(static_cast<size_t>(First - Copy.begin()),
                                             static_cast<size_t>(Last - First));
}

[[noreturn]] void RaiseSearchError(const TRegexp& Pattern, TTextIterator First, TTextIterator Last)
{
    RaiseSearchError(Pattern, First == Last ? std::string_view()
                                            : std::string_view(&*First, static_cast<size_t>(Last - First)));
}

} // namespace

TRegexp::TRegexp(const char* Pattern, int Flags)
    : m_Pattern(Pattern, static_cast<unsigned>(Flags), regex::MODE_RECURSIVE), m_PatternText(Pattern)
{
}

bool TRegexp::Search(TTextIterator First, TTextIterator Last)
{
    if (!Find(First, Last))
        RaiseSearchError(*this, First, Last);
    return true;
}

bool TRegexp::Find(TTextIterator First, TTextIterator Last)
{
    const bool found = m_Pattern.match(First, Last, m_Results);
    // A search that gives up at the engine's backtracking budget found nothing it could tell: an error.
    if (m_Results.limit_reached())
        RaiseSearchError(*this, First, Last);
    return found && m_Results.size() > 0 && m_Results[0].matched;
}

TRegexpScanner::TRegexpScanner(const std::string& Text)
    : m_Current(Text.begin()), m_Previous(Text.begin()), m_End(Text.end())
{
}

TRegexpScanner::TRegexpScanner(TTextIterator B, TTextIterator E) : m_Current(B), m_Previous(B), m_End(E)
{
    FATAL_CHECK(B <= E);
}

bool TRegexpScanner::Find(TRegexp& Pattern)
{
    const bool found = Pattern.Find(m_Current, m_End);
    m_Previous = m_Current;
    m_Current = found ? Pattern[0].second : m_End;
    return found;
}

bool TRegexpScanner::Search(TRegexp& Pattern)
{
    const bool found = Pattern.Find(m_Current, m_End);
    if (!found && m_Previous == m_Current)
        RaiseSearchError(Pattern, m_Current, m_End);
    m_Previous = m_Current;
    m_Current = found ? Pattern[0].second : m_End;
    return found;
}

bool TRegexpScanner::FindSequence(TRegexp* Patterns, size_t N)
{
    const bool found = RegexpWrapperDetail::RunSequence(Patterns, N, m_Current, m_End, false);
    m_Previous = m_Current;
    m_Current = found ? Patterns[N - 1][0].second : m_End;
    return found;
}

namespace RegexpWrapperDetail {

bool RunSequence(TRegexp* Patterns, size_t N, TTextIterator First, TTextIterator Last, bool MustFind,
                 const std::string* Searched, const std::string* Quoted)
{
    TTextIterator position = First;
    for (size_t i = 0; i < N; ++i) {
        if (!Patterns[i].Find(position, Last)) {
            if (MustFind && Quoted != nullptr)
                RaiseSearchError(Patterns[i], SameRange(*Searched, *Quoted, position, Last));
            if (MustFind)
                RaiseSearchError(Patterns[i], position, Last);
            return false;
        }
        position = Patterns[i][0].second;
    }
    return true;
}

} // namespace RegexpWrapperDetail
