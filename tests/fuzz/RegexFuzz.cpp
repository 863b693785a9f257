// libFuzzer target for the regular-expression engine (target regex_fuzz of the engine's own CMake project
// with -DSKERROW_FUZZ=ON and clang; scripts/fuzz-regex.sh builds and runs it). Input layout: one byte of
// flags, the pattern up to the first NUL byte, then the subject.
//  - The pattern is compiled under every combination of the compile flags that change its meaning; the
//    only exception allowed out of the constructor is bad_regexpr.
//  - It is then matched against the subject under the flags of the first byte, once as a range and once as
//    a NUL-terminated string, each with a step limit so that explosive backtracking ends the search (as no
//    match) instead of hanging the fuzzer, and with both the fast paths and the straightforward search,
//    which must agree.
//  - A match must lie inside the subject, with every matched group inside it too.
#include "regex/Regex.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kStepLimit = 200000;
constexpr std::size_t kMaxSubject = 512;

// The flags that change how a pattern is read or where the search starts.
const unsigned kCompileFlags[] = {regex::NOCASE,   regex::MULTILINE, regex::SINGLELINE,
                                  regex::EXTENDED, regex::C_ESCAPES, regex::FROM_RIGHT};

const unsigned kMatchFlags[] = {regex::NOCASE,   regex::MULTILINE,       regex::SINGLELINE,
                                regex::EXTENDED, regex::C_ESCAPES,       regex::FROM_RIGHT,
                                regex::GLOBAL,   regex::COLLECT_MATCHES, regex::COLLECT_GROUPS};

void Check(bool Condition)
{
    if (!Condition) {
        std::abort();
    }
}

void CompileEveryWay(const std::string& Pattern)
{
    const unsigned count = sizeof kCompileFlags / sizeof kCompileFlags[0];
    for (unsigned combination = 0; combination < (1u << count); ++combination) {
        unsigned bits = 0;
        for (unsigned i = 0; i < count; ++i) {
            bits |= (combination >> i & 1) ? kCompileFlags[i] : 0;
        }
        try {
            regex::basic_rpattern<std::string::const_iterator, regex::perl_syntax<char>> pattern(
                Pattern, bits, regex::MODE_RECURSIVE);
        } catch (const regex::bad_regexpr&) {
        }
    }
}

template <class It>
bool Search(const regex::basic_rpattern<It>& Pattern, It Begin, It End, bool FastPaths,
            regex::basic_match_results<It>& Results)
{
    regex::match_options options;
    options.fast_paths = FastPaths;
    options.step_limit = kStepLimit;
    options.stack_limit = std::size_t{16} << 20;
    return Pattern.match(Begin, End, Results, options);
}

// Every matched record lies inside the subject; a single search yields a matched record 0.
template <class It>
void CheckResults(bool Found, unsigned Bits, It Begin, It End, const regex::basic_match_results<It>& Results)
{
    if (!Found) {
        return;
    }
    const bool collected =
        (Bits & regex::GLOBAL) && (Bits & (regex::COLLECT_MATCHES | regex::COLLECT_GROUPS));
    Check(Results.size() >= 1);
    Check(collected || Results[0].matched);
    for (const auto& record : Results) {
        if (record.matched) {
            Check(Begin <= record.first && record.first <= record.second && record.second <= End);
        }
    }
}

template <class It>
std::vector<std::pair<long, long>> Offsets(It Begin, const regex::basic_match_results<It>& Results)
{
    std::vector<std::pair<long, long>> offsets;
    for (const auto& record : Results) {
        offsets.emplace_back(record.matched ? record.first - Begin : -1,
                             record.matched ? record.second - Begin : -1);
    }
    return offsets;
}

void MatchEveryWay(const std::string& Pattern, unsigned Selector, const std::string& Subject)
{
    unsigned bits = 0;
    for (unsigned i = 0; i < sizeof kMatchFlags / sizeof kMatchFlags[0]; ++i) {
        bits |= (Selector >> i & 1) ? kMatchFlags[i] : 0;
    }
    try {
        using TIter = std::string::const_iterator;
        const regex::basic_rpattern<TIter> pattern(Pattern, bits, regex::MODE_RECURSIVE);
        regex::basic_match_results<TIter> fast, plain;
        const bool foundFast = Search(pattern, Subject.begin(), Subject.end(), true, fast);
        const bool foundPlain = Search(pattern, Subject.begin(), Subject.end(), false, plain);
        CheckResults(foundFast, bits, Subject.begin(), Subject.end(), fast);
        CheckResults(foundPlain, bits, Subject.begin(), Subject.end(), plain);
        if (!fast.limit_reached() && !plain.limit_reached()) {
            Check(foundFast == foundPlain);
            Check(!foundFast || Offsets(Subject.begin(), fast) == Offsets(Subject.begin(), plain));
        }

        // The same subject up to its first NUL byte, as a C string.
        const regex::basic_rpattern<const char*> cpattern(Pattern, bits, regex::MODE_RECURSIVE);
        regex::basic_match_results<const char*> cresults;
        regex::match_options options;
        options.step_limit = kStepLimit;
        const char* text = Subject.c_str();
        const bool found = cpattern.match(text, cresults, options);
        CheckResults(found, bits, text, text + std::char_traits<char>::length(text), cresults);
    } catch (const regex::bad_regexpr&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size == 0) {
        return 0;
    }
    const unsigned selector = Data[0];
    const char* text = reinterpret_cast<const char*>(Data + 1);
    const std::string input(text, Size - 1);
    const std::size_t separator = input.find('\0');
    const std::string pattern = input.substr(0, separator);
    std::string subject = separator == std::string::npos ? std::string() : input.substr(separator + 1);
    if (subject.size() > kMaxSubject) {
        subject.resize(kMaxSubject);
    }
    CompileEveryWay(pattern);
    // Two bytes of selector would cost input length for little: the high flags come from the subject size.
    MatchEveryWay(pattern, selector | (static_cast<unsigned>(subject.size() & 1u) << 8), subject);
    return 0;
}
