// Internal header of the regular-expression engine (nothing outside src/regex includes it; it may change
// at any time): the Perl syntax reader. It turns pattern characters into tokens, so that the parser
// (Parser.h) and the bracket parser (Charset.h) work on tokens and never on raw Perl spelling. Each reader
// takes a cursor into the pattern text, advances it past what it read, and never reads at or beyond End.
#pragma once

#include "regex/Regex.h"

#include <cstddef>

namespace regex {
namespace detail {

/// Tokens outside bracket expressions.
enum class reg_token {
    ordinary,          ///< any other character; the cursor is left ON the character
    group_begin,       ///< (
    group_end,         ///< )
    alternation,       ///< |
    begin_anchor,      ///< ^
    end_anchor,        ///< $
    set_begin,         ///< [
    any,               ///< .
    digit,             ///< \d
    not_digit,         ///< \D
    space,             ///< \s
    not_space,         ///< \S
    word,              ///< \w
    not_word,          ///< \W
    subject_begin,     ///< \A
    subject_end_or_nl, ///< \Z
    subject_end,       ///< \z
    word_boundary,     ///< \b
    not_word_boundary, ///< \B
    quote_begin,       ///< \Q
    quote_end,         ///< \E
    plain_escape,      ///< \ and anything else; the cursor is left on the character after the backslash
    end_of_pattern,    ///< the cursor is at End
};

/// Tokens read right after an atom.
enum class quant_token {
    none,          ///< no quantifier here; the cursor is not moved
    star,          ///< *
    plus,          ///< +
    question,      ///< ?
    star_lazy,     ///< *?
    plus_lazy,     ///< +?
    question_lazy, ///< ??
    brace,         ///< { : the caller reads the counted form; the cursor is left ON the brace
};

/// Tokens read right after "(?".
enum class ext_token {
    end_of_pattern,       ///< nothing follows
    non_capturing,        ///< :
    lookahead,            ///< =
    neg_lookahead,        ///< !
    lookbehind,           ///< <=
    neg_lookbehind,       ///< <!
    bad_lookbehind,       ///< < followed by anything else
    truncated_lookbehind, ///< < at the very end
    independent,          ///< >
    comment,              ///< #
    conditional,          ///< (
    recurse,              ///< R
    flags,                ///< one of i m s x -: the cursor is left ON it
    bad,                  ///< anything else
};

/// Tokens inside bracket expressions.
enum class set_token {
    end_of_pattern, ///< the pattern ended inside the set
    negate,         ///< ^
    range,          ///< -
    end,            ///< ]
    class_escape,   ///< \d \D \s \S \w \W; Letter holds d, D, s, S, w or W
    posix_class,    ///< [:name:] or [:^name:]; ClassIndex is 0..23 in the order of kPosixClassNames
    character,      ///< a character, plain or escaped; Char holds its byte
};

/// What a set token carries besides its kind.
struct set_token_value {
    unsigned char Char = 0;
    char Letter = 0;
    int ClassIndex = -1;
};

/// Compile flags that change how escapes are read (same bits as regex::C_ESCAPES).
constexpr unsigned kSyntaxCEscapes = 0x100;

/// The readers of Perl syntax over char (the syntax of regex::perl_syntax<char>).
struct perl_reader {
    /// Reads the next token outside brackets at Cur.
    static reg_token reg_token_at(const char*& Cur, const char* End);

    /// Reads a quantifier token at Cur, if there is one.
    static quant_token quant_token_at(const char*& Cur, const char* End);

    /// Reads the counted quantifier at Cur, which is on a '{': "{n}", "{n,}", "{n,m}" or "{,m}" (no lower
    /// bound reads 0), then an optional '?' for a lazy one. False, with Cur unmoved, when no counted form
    /// stands there (the brace is then an ordinary character). Numbers stop growing just below
    /// unbounded_width; Ub is unbounded_width when the form has no upper bound.
    static bool counted_at(const char*& Cur, const char* End, size_t& Lb, size_t& Ub, bool& Greedy);

    /// Reads the extension token right after "(?".
    static ext_token ext_token_at(const char*& Cur, const char* End);

    /// Reads the next token inside brackets at Cur. Flags: the working compile flags (C_ESCAPES matters).
    /// Never throws; the end of the pattern, also right after a backslash or "\c", is
    /// set_token::end_of_pattern.
    static set_token set_token_at(const char*& Cur, const char* End, unsigned Flags, set_token_value& Value);

    /// True for the characters that are white space to EXTENDED patterns.
    static bool is_space(unsigned char Ch) { return Ch == ' ' || (Ch >= 9 && Ch <= 13); }

    /// True for ASCII letters, digits and '_': the word characters of \w, \b and \B.
    static bool is_word(unsigned char Ch)
    {
        return (Ch >= 'a' && Ch <= 'z') || (Ch >= 'A' && Ch <= 'Z') || (Ch >= '0' && Ch <= '9') || Ch == '_';
    }

    /// The value of a hexadecimal digit (0-9, a-f, A-F), or -1 for any other character.
    static int hex_value(char Ch);
};

/// The 24 POSIX class strings in the order they are tried: "[:alnum:]", "[:^alnum:]", "[:alpha:]", ...
extern const char* const kPosixClassNames[24];

} // namespace detail
} // namespace regex
