// Helpers of the regular-expression engine's tests: run a pattern and describe the outcome as text, so
// that tables of (pattern, subject, expected outcome) read like the cases they state.
#pragma once

#include "regex/Regex.h"

#include <string>

namespace regex_test {

using TPattern = regex::basic_rpattern<std::string::const_iterator, regex::perl_syntax<char>>;
using TResults = regex::basic_match_results<std::string::const_iterator>;
using TCPattern = regex::basic_rpattern<const char*, regex::perl_syntax<char>>;
using TCResults = regex::basic_match_results<const char*>;

/// "(0,3)(1,2)(-)" for a match (one pair per record, "-" for an unmatched one), "no" for no match,
/// "limit" when the search gave up at a limit.
inline std::string Describe(bool Found, const TResults& Results, const std::string& Subject)
{
    if (Results.limit_reached()) {
        return "limit";
    }
    if (!Found) {
        return "no";
    }
    std::string out;
    for (size_t i = 0; i < Results.size(); ++i) {
        const auto& record = Results[i];
        if (!record.matched) {
            out += "(-)";
            continue;
        }
        out += "(" + std::to_string(record.first - Subject.begin()) + "," +
               std::to_string(record.second - Subject.begin()) + ")";
    }
    return out;
}

/// Compiles and searches once; "error: <message>" when the pattern does not compile.
inline std::string Run(const std::string& Pattern, unsigned Flags, const std::string& Subject,
                       bool Fast = true, std::size_t StepLimit = 0)
{
    try {
        const TPattern pattern(Pattern, Flags, regex::MODE_RECURSIVE);
        TResults results;
        regex::match_options options;
        options.fast_paths = Fast;
        options.step_limit = StepLimit;
        const bool found = pattern.match(Subject.begin(), Subject.end(), results, options);
        return Describe(found, results, Subject);
    } catch (const regex::bad_regexpr& error) {
        return std::string("error: ") + error.what();
    }
}

/// The compile error of Pattern (with the substitution text Substitution), or "" when it compiles.
inline std::string CompileError(const std::string& Pattern, unsigned Flags = 0,
                                const std::string& Substitution = std::string())
{
    try {
        const TPattern pattern(Pattern, Flags, regex::MODE_RECURSIVE, Substitution);
        return "";
    } catch (const regex::bad_regexpr& error) {
        return error.what();
    }
}

} // namespace regex_test
