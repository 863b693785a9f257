// The program's layer over the regular-expression engine.
//
// TRegexp is a compiled pattern that keeps the sub-match records of its last search; TRegexpScanner walks
// through a text match by match; FindSequence and SearchSequence search several patterns one after the
// other, each starting where the previous one's match ended.
//
// Two kinds of search: Search must find a match and raises the search error otherwise,
//   BrintLib::TAplThrowException "Ошибка при поиске шаблона: \"<pattern>\" в строке \"<searched text>\"";
// Find may fail and only returns false.
//
// Sub-match records point into the searched text: they stay valid only while that text lives unchanged and
// until the next search with the same TRegexp. Searches over temporary strings are refused at compile time
// for that reason. A TRegexp must not be searched by two callers at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "libs/Exceptions.h"
#include "regex/Regex.h"

/// Positions in the texts that the program searches.
using TTextIterator = std::string::const_iterator;

class TRegexp {
  public:
    using TPattern = regex::basic_rpattern<TTextIterator, regex::perl_syntax<char>>;
    using TResults = regex::basic_match_results<TTextIterator>;
    /// One sub-match record: first, second (the positions), matched, str() (empty when not matched).
    using TSubMatch = regex::sub_match<TTextIterator>;

    /// Compiles Pattern with the compile flags Flags (0, or regex::SINGLELINE so that '.' also matches a
    /// line feed) and keeps a copy of its text for the search error. Raises regex::bad_regexpr when the
    /// pattern is malformed.
    TRegexp(const char* Pattern, int Flags = 0);
    TRegexp(const TRegexp&) = delete;
    TRegexp& operator=(const TRegexp&) = delete;

    /// Searches the whole of Text, or [First, Last): the subject begins at First, so '^' and look-behind
    /// assertions see nothing before it. Returns true; raises the search error when nothing is found.
    bool Search(const std::string& Text) { return Search(Text.begin(), Text.end()); }
    bool Search(TTextIterator First, TTextIterator Last);
    bool Search(const std::string&& Text) = delete;

    /// The same searches, returning false when nothing is found (the records are then unmatched).
    bool Find(const std::string& Text) { return Find(Text.begin(), Text.end()); }
    bool Find(TTextIterator First, TTextIterator Last);
    bool Find(const std::string&& Text) = delete;

    /// The number of sub-match records of the last search: 1 + the number of capturing groups after a
    /// match; 0 before the first search.
    size_t Size() const { return m_Results.size(); }
    /// Record i of the last search: 0 is the whole match, k the k-th capturing group. i < Size() (fatal
    /// check).
    const TSubMatch& operator[](size_t i) const
    {
        FATAL_CHECK(i < Size());
        return m_Results[i];
    }

    /// The pattern exactly as given to the constructor.
    const std::string& GetPatternText() const { return m_PatternText; }

  private:
    TPattern m_Pattern;
    TResults m_Results;
    std::string m_PatternText;
};

/// Walks through [B, E) of a text match by match, each search starting where the previous match ended.
/// Refers to the text, which it does not own and which must outlive it.
///
/// After a successful Find or Search, [Previous(), Pattern[0].first) is the text that lay before the
/// match; after an unsuccessful one, [Previous(), End()) is the rest of the text after the last match, and
/// the scanner is spent (Current() is End()).
class TRegexpScanner {
  public:
    explicit TRegexpScanner(const std::string& Text);
    explicit TRegexpScanner(const std::string&& Text) = delete;
    /// B <= E (fatal check).
    TRegexpScanner(TTextIterator B, TTextIterator E);

    /// The next match of Pattern, or false when there is none.
    bool Find(TRegexp& Pattern);
    /// The same, except that finding nothing without having advanced (right after construction, or after
    /// an empty match where the search started) raises the search error with the text from the current
    /// position to the end. So a pattern that does not occur at all is an error, while running out of
    /// matches after at least one is the normal end of a scan.
    bool Search(TRegexp& Pattern);
    /// Searches Patterns[0] from the current position, then each next pattern from the end of the previous
    /// one's match. On success Previous() is where the sequence began and Current() the end of the last
    /// match; on failure returns false with Previous() where the sequence began and the scanner spent.
    template <size_t N> bool Find(TRegexp (&Patterns)[N]) { return FindSequence(Patterns, N); }

    /// Where the next search starts.
    TTextIterator Current() const { return m_Current; }
    /// Where the last search (or the last sequence) started.
    TTextIterator Previous() const { return m_Previous; }
    /// The end of the scanned range.
    TTextIterator End() const { return m_End; }

  private:
    bool FindSequence(TRegexp* Patterns, size_t N);

    TTextIterator m_Current;
    TTextIterator m_Previous;
    TTextIterator m_End;
};

/// Raises the search error of Pattern with the searched text Searched. For a search in a text made from
/// another one byte for byte at the same places (a page's reading copy), the error quotes the other one.
[[noreturn]] void RaiseSearchError(const TRegexp& Pattern, std::string_view Searched);

namespace RegexpWrapperDetail {
/// Searches Patterns[0..N) one after the other over [First, Last), each from the end of the previous
/// match. A pattern not found returns false, or raises the search error when MustFind; the error quotes
/// the same range of *Quoted when Quoted is given (Quoted and the searched text of the same size).
bool RunSequence(TRegexp* Patterns, size_t N, TTextIterator First, TTextIterator Last, bool MustFind,
                 const std::string* Searched = nullptr, const std::string* Quoted = nullptr);
} // namespace RegexpWrapperDetail

/// Searches Patterns as a sequence over Text from its begin; false when one of them is not found.
template <size_t N> bool FindSequence(TRegexp (&Patterns)[N], const std::string& Text)
{
    return RegexpWrapperDetail::RunSequence(Patterns, N, Text.begin(), Text.end(), false);
}
template <size_t N> bool FindSequence(TRegexp (&Patterns)[N], const std::string&& Text) = delete;

/// The same, but a pattern not found raises the search error naming that pattern, with the text from
/// where its search started to the end of Text. Returns true.
template <size_t N> bool SearchSequence(TRegexp (&Patterns)[N], const std::string& Text)
{
    return RegexpWrapperDetail::RunSequence(Patterns, N, Text.begin(), Text.end(), true);
}
template <size_t N> bool SearchSequence(TRegexp (&Patterns)[N], const std::string&& Text) = delete;

/// The same over Copy, a text of Quoted's size made from it byte for byte at the same places (a page's
/// reading copy): the search error quotes Quoted.
template <size_t N>
bool SearchSequence(TRegexp (&Patterns)[N], const std::string& Copy, const std::string& Quoted)
{
    return RegexpWrapperDetail::RunSequence(Patterns, N, Copy.begin(), Copy.end(), true, &Copy, &Quoted);
}
