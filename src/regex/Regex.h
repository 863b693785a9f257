// The program's own Perl-syntax regular-expression engine: the one public header.
//
//   regex::basic_rpattern<std::string::const_iterator, regex::perl_syntax<char>>
//       pattern(text, regex::SINGLELINE, regex::MODE_RECURSIVE);   // throws regex::bad_regexpr
//   regex::basic_match_results<std::string::const_iterator> results;
//   if (pattern.match(page.begin(), page.end(), results)) { results[1].str(); ... }
//
// Patterns are byte strings (windows-1251 text in this program); classification is that of the "C" locale,
// so only ASCII letters have case and only explicit ranges match Cyrillic letters. A compiled pattern is
// immutable: one object may run any number of searches one after another, never two at once.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace regex {

/// The syntax policy named by basic_rpattern's second template argument; Perl syntax over char is the only
/// one.
template <class CharT> struct perl_syntax;
template <> struct perl_syntax<char> {
    using char_type = char;
};

/// Compile flags; combine with |.
enum REGEX_FLAGS : unsigned {
    NOFLAGS = 0,
    NOCASE = 0x1,           ///< case-insensitive characters, literals, sets and back-references (inline: i)
    GLOBAL = 0x2,           ///< search repeatedly over the subject
    MULTILINE = 0x4,        ///< ^ and $ also at line boundaries (inline: m)
    SINGLELINE = 0x8,       ///< . also matches a newline (inline: s)
    FROM_RIGHT = 0x10,      ///< try start positions from the right
    COLLECT_MATCHES = 0x40, ///< with GLOBAL: keep the whole-match record of every match
    COLLECT_GROUPS = 0x80,  ///< with GLOBAL: keep every record of every match
    C_ESCAPES = 0x100,      ///< \a \f \n \r \t \\ (and \v in sets) are character escapes
    EXTENDED = 0x200,       ///< white space and # comments in the pattern are skipped (inline: x)
};

/// Matching strategies. All three run the same explicit-stack matcher and give the same results.
enum REGEX_MODE : unsigned {
    MODE_RECURSIVE = 0,
    MODE_ITERATIVE = 1,
    MODE_AUTO = 2,
};

/// A malformed pattern or substitution text; what() is the reason ("mismatched parenthesis", ...).
class bad_regexpr : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

/// Returned by max_width() for a pattern without an upper bound on its match length.
constexpr std::size_t unbounded_width = static_cast<std::size_t>(-1);

/// The backtracking budget of a search unless match_options says otherwise.
constexpr std::size_t default_backtrack_limit = std::size_t{1} << 28;

/// Knobs of one search. The defaults are what the program uses.
struct match_options {
    /// false runs the straightforward algorithm only (every start position, every alternative, look-behind
    /// tried from every start): the reference the fast paths are checked against. Results are identical.
    bool fast_paths = true;
    /// Matching steps after which a search gives up and reports no match (0: no limit).
    std::size_t step_limit = 0;
    /// Backtracking steps (choice points given back) after which a search gives up and reports no match
    /// with limit_reached() (0: no limit). By default about 2^28, some seconds of work: no search runs for
    /// hours on a hostile subject, and the program's patterns stay thousands of times below it on the
    /// sample pages.
    std::size_t backtrack_limit = default_backtrack_limit;
    /// Bytes of backtracking state after which a search gives up and reports no match. The state grows
    /// with the iterations of a repeated group that may still be given back (about 64 bytes each);
    /// repeated characters and sets need none.
    std::size_t stack_limit = std::size_t{256} << 20;
};

namespace detail {

/// A record as offsets from the subject begin (what the engine hands to the templates below).
struct raw_record {
    std::size_t Begin = 0;
    std::size_t End = 0;
    bool Matched = false;
};

struct compiled_pattern;

} // namespace detail

/// One sub-match record: the positions of a group's text, like std::sub_match.
template <class It> class sub_match : public std::pair<It, It> {
  public:
    sub_match() : std::pair<It, It>(It(), It()) {}
    sub_match(It First, It Second, bool Matched) : std::pair<It, It>(First, Second), matched(Matched) {}

    /// True when the group took part in the match; otherwise both positions are It().
    bool matched = false;

    std::size_t length() const { return matched ? static_cast<std::size_t>(this->second - this->first) : 0; }
    std::string str() const { return matched ? std::string(this->first, this->second) : std::string(); }
};

template <class It, class Syntax = perl_syntax<char>> class basic_rpattern;

/// What a search hands back: record 0 is the whole match, records 1..n the capturing groups in the order of
/// their opening parentheses. After a failed search the records are unmatched and must not be used.
/// With GLOBAL and COLLECT_MATCHES / COLLECT_GROUPS, the records of all matches one after another.
template <class It> class basic_match_results {
  public:
    using value_type = sub_match<It>;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    std::size_t size() const { return m_Records.size(); }
    bool empty() const { return m_Records.empty(); }
    const value_type& operator[](std::size_t Index) const { return m_Records[Index]; }
    const_iterator begin() const { return m_Records.begin(); }
    const_iterator end() const { return m_Records.end(); }
    /// True when the last search gave up at match_options' step or stack limit (and so reported no match).
    bool limit_reached() const { return m_LimitReached; }

  private:
    // basic_rpattern fills the records, and reuses m_Scratch from one search to the next.
    template <class, class> friend class basic_rpattern;

    std::vector<value_type> m_Records;
    std::vector<detail::raw_record> m_Scratch;
    bool m_LimitReached = false;
};

/// One item of a parsed substitution text.
struct subst_item {
    enum kind {
        literal,    ///< Text
        group,      ///< the text of group Group (0: the whole match, from "$&")
        prematch,   ///< "$`"
        postmatch,  ///< "$'"
        upper_next, ///< "\u"
        lower_next, ///< "\l"
        upper_on,   ///< "\U"
        lower_on,   ///< "\L"
        case_off,   ///< "\E"
    };
    kind Kind = literal;
    std::string Text;
    std::size_t Group = 0;
};

/// The part of a compiled pattern that does not depend on the iterator type.
class rpattern_base {
  public:
    /// Compiles Pattern; throws bad_regexpr, and then nothing of the pattern remains.
    rpattern_base(const std::string& Pattern, unsigned Flags, unsigned Mode, const std::string& Substitution);

    unsigned flags() const;
    unsigned mode() const;
    /// Capturing groups, group 0 (the whole match) included.
    std::size_t group_count() const;
    /// Internal groups: capturing and invisible ones, group 0 included.
    std::size_t internal_group_count() const;
    std::size_t min_width() const;
    /// unbounded_width when a match may be arbitrarily long.
    std::size_t max_width() const;
    /// True when only the first start position is tried (leading ^, or .* / .+ under SINGLELINE).
    bool anchored() const;
    /// The literal the whole pattern begins with (the prefix skip table's), or empty.
    std::string prefix_literal() const;
    /// The bytes a match can begin with, ascending, when the top group knows them; else empty.
    std::string first_chars() const;
    /// The compiled node tree as text: one node per line with its width and first-byte set.
    std::string dump() const;
    const std::vector<subst_item>& substitution() const;

  protected:
    /// Runs the search over [Begin, End) (GLOBAL included). Records are offsets from Begin.
    /// NulTerminated: the subject was given as a C string (FROM_RIGHT is then not used).
    bool search(const char* Begin, const char* End, bool NulTerminated, const match_options& Options,
                std::vector<detail::raw_record>& Records, bool& LimitReached) const;

  private:
    std::shared_ptr<const detail::compiled_pattern> m_Compiled;
};

/// A compiled pattern over subjects given as ranges of It (std::string::const_iterator or const char*, or
/// any other contiguous iterator over char).
template <class It, class Syntax> class basic_rpattern : public rpattern_base {
    static_assert(std::is_same<Syntax, perl_syntax<char>>::value, "only perl_syntax<char> is supported");
    static_assert(std::is_same<typename std::iterator_traits<It>::value_type, char>::value,
                  "subjects are byte strings");

  public:
    /// Compiles Pattern with Flags (REGEX_FLAGS combined) and a substitution text (parsed, never applied
    /// here). Throws bad_regexpr.
    explicit basic_rpattern(const std::string& Pattern, unsigned Flags = NOFLAGS,
                            unsigned Mode = MODE_RECURSIVE, const std::string& Substitution = std::string())
        : rpattern_base(Pattern, Flags, Mode, Substitution)
    {
    }

    /// Searches [First, Last); true when a match was found (with GLOBAL: when any was). Results is
    /// overwritten.
    bool match(It First, It Last, basic_match_results<It>& Results,
               const match_options& Options = match_options()) const
    {
        static const char kEmpty[1] = {0};
        const char* begin = (First == Last) ? kEmpty : std::addressof(*First);
        return Run(First, begin, begin + (Last - First), false, Results, Options);
    }

    /// Searches the NUL-terminated string Subject (only for It = const char*).
    template <class I = It, class = std::enable_if_t<std::is_same<I, const char*>::value>>
    bool match(const char* Subject, basic_match_results<It>& Results,
               const match_options& Options = match_options()) const
    {
        const char* end = Subject;
        while (*end != 0) {
            ++end;
        }
        return Run(Subject, Subject, end, true, Results, Options);
    }

  private:
    bool Run(It First, const char* Begin, const char* End, bool NulTerminated,
             basic_match_results<It>& Results, const match_options& Options) const
    {
        std::vector<detail::raw_record>& raw = Results.m_Scratch;
        bool limitReached = false;
        const bool found = search(Begin, End, NulTerminated, Options, raw, limitReached);
        auto& records = Results.m_Records;
        records.clear();
        using difference = typename std::iterator_traits<It>::difference_type;
        for (const auto& record : raw) {
            if (record.Matched) {
                records.emplace_back(First + static_cast<difference>(record.Begin),
                                     First + static_cast<difference>(record.End), true);
            } else {
                records.emplace_back();
            }
        }
        Results.m_LimitReached = limitReached;
        return found;
    }
};

} // namespace regex
