// The reference check: every fast path (prefix and first-byte scans, alternative filters, follow-byte
// checks and stop-byte scans of repetitions, look-behind shortcuts, repeated single-byte groups, the leading
// ".*" stop, failure memos of repetitions, patterns that are one literal) must
// give exactly what the straightforward algorithm gives. Patterns and subjects are generated from fixed
// seeds over a small alphabet, so that most constructs meet each other and many subjects match.
#include "RegexTestSupport.h"
#include "support/SeededRandom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using regex_test::TPattern;
using regex_test::TResults;

class TGenerator {
  public:
    explicit TGenerator(unsigned Seed) : m_Random(Seed) {}

    int Below(int Count) { return static_cast<int>(m_Random.Below(static_cast<unsigned>(Count))); }
    bool Chance(int Percent) { return Below(100) < Percent; }

    std::string Subject(const std::string& Alphabet, int MaxLength)
    {
        std::string text;
        const int length = Below(MaxLength + 1);
        for (int i = 0; i < length; ++i) {
            text += Alphabet[static_cast<size_t>(Below(static_cast<int>(Alphabet.size())))];
        }
        return text;
    }

    // A random pattern over the bytes a b c < > " = and blanks.
    std::string Pattern(int Depth = 0)
    {
        std::string out;
        const int items = 1 + Below(4);
        for (int i = 0; i < items; ++i) {
            out += Item(Depth);
        }
        if (Depth < 3 && Chance(20)) {
            out += "|" + Pattern(Depth + 1);
        }
        return out;
    }

    int Groups() const { return m_Groups; }
    void Reset() { m_Groups = 0; }

  private:
    std::string Atom()
    {
        static const char* const kAtoms[] = {"a",     "b",          "c",     "<",   ">",     "\"",   "=",
                                             " ",     ".",          "\\s",   "\\w", "\\W",   "[ab]", "[^>]",
                                             "[^\"]", "[^\\s>\"']", "[a-c]", "\\d", "[\\s>]"};
        return kAtoms[Below(sizeof(kAtoms) / sizeof(kAtoms[0]))];
    }

    std::string Quantifier()
    {
        static const char* const kQuantifiers[] = {"*",  "+",   "?",     "*?",     "+?",
                                                   "??", "{2}", "{1,3}", "{0,2}?", "{2,}"};
        return kQuantifiers[Below(sizeof(kQuantifiers) / sizeof(kQuantifiers[0]))];
    }

    std::string Item(int Depth)
    {
        const int kind = Below(Depth >= 3 ? 5 : 16);
        switch (kind) {
        case 0:
        case 1:
        case 2:
            return Atom() + (Chance(50) ? Quantifier() : "");
        case 3:
            return Chance(50) ? "ab" : "<a";
        case 4: {
            static const char* const kAnchors[] = {"^", "$", "\\b", "\\B", "\\z"};
            return kAnchors[Below(5)];
        }
        case 5:
        case 6:
            ++m_Groups;
            return "(" + Pattern(Depth + 1) + ")" + (Chance(50) ? Quantifier() : "");
        case 7:
            return "(?:" + Pattern(Depth + 1) + ")" + (Chance(50) ? Quantifier() : "");
        case 8:
            return (Chance(50) ? "(?=" : "(?!") + Pattern(Depth + 1) + ")";
        case 9: {
            // Look-behind, often with a leading part that can match nothing.
            static const char* const kPrefixes[] = {"", "\\s*", "a*", "[ab]*?", "(?:ab)*", "b?"};
            return std::string(Chance(70) ? "(?<=" : "(?<!") + kPrefixes[Below(6)] + Pattern(Depth + 1) + ")";
        }
        case 10:
            return "(?>" + Pattern(Depth + 1) + ")" + (Chance(30) ? Quantifier() : "");
        case 11:
            if (m_Groups > 0) {
                return "\\" + std::to_string(1 + Below(m_Groups)) + (Chance(30) ? Quantifier() : "");
            }
            return "a";
        case 12:
            if (m_Groups > 0) {
                return "(?(" + std::to_string(1 + Below(m_Groups)) + ")" + Pattern(Depth + 1) + "|" +
                       Pattern(Depth + 1) + ")";
            }
            return "(?(?=a)a|b)";
        case 13:
            // A group of single-byte alternatives, repeated: the "simple group" fast path.
            ++m_Groups;
            return std::string(Chance(50) ? "(" : "(?:") + Atom() + "|" + Atom() + ")" + Quantifier();
        case 14:
            // A leading lazy or greedy dot repetition inside a group.
            ++m_Groups;
            return std::string("(") + (Chance(50) ? ".*?" : ".*") + Atom() + ")";
        default:
            return "\"" + Atom() + "+";
        }
    }

    TestSupport::TSeededRandom m_Random;
    int m_Groups = 0;
};

// Outcome of one search, records included; "limit" when the step limit was reached.
std::string Outcome(const TPattern& Pattern, const std::string& Subject, bool Fast)
{
    TResults results;
    regex::match_options options;
    options.fast_paths = Fast;
    options.step_limit = 200000;
    const bool found = Pattern.match(Subject.begin(), Subject.end(), results, options);
    return regex_test::Describe(found, results, Subject);
}

struct TTally {
    int Compared = 0;
    int Matched = 0;
    int Skipped = 0;
};

void Compare(const std::string& Text, unsigned Flags, const std::vector<std::string>& Subjects, TTally& Tally)
{
    std::unique_ptr<TPattern> pattern;
    try {
        pattern = std::make_unique<TPattern>(Text, Flags);
    } catch (const regex::bad_regexpr&) {
        return; // the generator may produce e.g. "a**"; compiling is not what is checked here
    }
    for (const std::string& subject : Subjects) {
        const std::string fast = Outcome(*pattern, subject, true);
        const std::string plain = Outcome(*pattern, subject, false);
        if (fast == "limit" || plain == "limit") {
            ++Tally.Skipped;
            continue;
        }
        ++Tally.Compared;
        Tally.Matched += fast != "no" ? 1 : 0;
        ASSERT_EQ(fast, plain) << "pattern /" << Text << "/ flags " << Flags << " subject \"" << subject
                               << "\"";
    }
}

// Compares each of Patterns under each of FlagChoices over Count fresh subjects from MakeSubject, made
// pattern by pattern and flags by flags (the subjects depend on that order).
template <class TPatterns, class TFlagChoices, class TMakeSubject>
void CompareEach(const TPatterns& Patterns, const TFlagChoices& FlagChoices, int Count,
                 TMakeSubject MakeSubject, TTally& Tally)
{
    for (const char* pattern : Patterns) {
        for (unsigned flags : FlagChoices) {
            std::vector<std::string> subjects;
            for (int k = 0; k < Count; ++k) {
                subjects.push_back(MakeSubject());
            }
            Compare(pattern, flags, subjects, Tally);
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(RegexReferenceCheck, GeneratedPatternsGiveTheSameResultsWithAndWithoutFastPaths)
{
    TGenerator generator(20261207);
    TTally tally;
    const unsigned flagChoices[] = {0,
                                    regex::SINGLELINE,
                                    regex::NOCASE,
                                    regex::MULTILINE,
                                    regex::GLOBAL | regex::COLLECT_GROUPS,
                                    regex::GLOBAL | regex::COLLECT_MATCHES | regex::SINGLELINE};
    for (int i = 0; i < 2500; ++i) {
        generator.Reset();
        const std::string pattern = generator.Pattern();
        std::vector<std::string> subjects;
        for (int k = 0; k < 8; ++k) {
            subjects.push_back(generator.Subject("abc<>\"= \nA", 24));
        }
        Compare(pattern, flagChoices[generator.Below(6)], subjects, tally);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GT(tally.Compared, 10000);
    EXPECT_GT(tally.Matched, tally.Compared / 5);
    EXPECT_LT(tally.Skipped, tally.Compared / 100);
}

TEST(RegexReferenceCheck, RepetitionsThatScanForTheNextByteAgree)
{
    // Repetitions whose continuation starts with a known byte skip ahead (memchr, memrchr, set scans);
    // a positive look-ahead, an optional group's end and line ends are part of what they look at.
    const char* const patterns[] = {
        "(.*)?(?=<d)", "(.+?)?(?=a|b)", ".*?(?=ab)", "[^/]+?(?=/|$)", "a.*b",     "a.*?\n",
        "a.*?b",       "(a.*?)?b",      "(?:x.*)?<", ".+?<d",         "[^<]*<",   "(.*)\n",
        ".*$",         "(?:.?)*?b",     "<.{0,3}?>", "(a|b)*?c",      "([ab])+b", "(?:[^<]|<[^d])*<d",
        "\\s*\"",      "[^\"]+(?=\")",  "(?=a)ab",
    };
    TGenerator generator(99);
    TTally tally;
    const unsigned flagChoices[] = {0, regex::SINGLELINE};
    ASSERT_NO_FATAL_FAILURE(CompareEach(
        patterns, flagChoices, 200, [&] { return generator.Subject("ab<d/\n\" x", 30); }, tally));
    EXPECT_GT(tally.Matched, 2000);
    EXPECT_LT(tally.Skipped, tally.Compared / 100); // a few backtrack past the step limit
}

TEST(RegexReferenceCheck, RepetitionsThatRememberFailedEntriesAgree)
{
    // Repetitions of single bytes reached outside repeated groups and look-arounds remember where an entry
    // failed and fail a later entry of the same run at once; captures before, between and after them must
    // come out as without the memo. Patterns with back-references and conditionals keep no memo: they are
    // here to show that they still agree.
    const char* const patterns[] = {
        "<.*?(<i.*?/>).*?(<h>[^<]*?(a+?)\\s(\\d{2})</h>)(.*)?(?=<d)",
        "(.*?)<(.*)/(.*?)>",
        "a.*?b.*c",
        "(a|<).+?(b.*?/)(x)?",
        ".*?(?:<i|a.*?>)(.*?)<h",
        "(?=.*<).*?(.+?)/>",
        "(<i).*?(?<=/)>.*?\\d",
        "(a).*?\\1.*?/",
        "(a)?.*?(?(1)b|<).*?>",
        "(?:a|b)*/",
        "(a|b|\\s)+?(<h)",
        "[ab ]*?(\\d+)<",
        "\\s*<(\\w*)(?:/|>)",
        "<[^<]*?(\\d)[^/]*/",
        "a*b*(?:/|<)[^>]*>",
        "(?:<|a)[^a]+?</",
    };
    TGenerator generator(314);
    TTally tally;
    const unsigned flagChoices[] = {0, regex::SINGLELINE,
                                    regex::GLOBAL | regex::COLLECT_GROUPS | regex::SINGLELINE};
    auto subject = [&] {
        static const char* const kParts[] = {"<i/>", "<i ab/>", "<h>", "</h>", " 12",         "a",
                                             "b",    "/",       "\n",  "<d",   "<h>ba 12</h>"};
        std::string text;
        const int parts = generator.Below(7);
        for (int i = 0; i < parts; ++i) {
            text += kParts[generator.Below(11)];
        }
        return text;
    };
    ASSERT_NO_FATAL_FAILURE(CompareEach(patterns, flagChoices, 150, subject, tally));
    EXPECT_GT(tally.Matched, 1000);
    EXPECT_EQ(tally.Skipped, 0);
}

TEST(RegexReferenceCheck, PatternsThatAreOneLiteralAgree)
{
    // A pattern that is one case-sensitive literal, possibly after ^, is searched without the machine.
    // Global searches check that ^ holds only at the subject begin; the other flags fall back to it.
    const char* const patterns[] = {"a",      "ab",  "<a",  "^a",     "^ab<",    "a\\.b", "\\x3Cab",
                                    "ab\"= ", "^\"", "aaa", "(?:ab)", "ab(?=c)", "(ab)"};
    const unsigned flagChoices[] = {0,
                                    regex::GLOBAL | regex::COLLECT_MATCHES,
                                    regex::GLOBAL,
                                    regex::NOCASE,
                                    regex::MULTILINE | regex::GLOBAL | regex::COLLECT_MATCHES,
                                    regex::FROM_RIGHT};
    TGenerator generator(2718);
    TTally tally;
    ASSERT_NO_FATAL_FAILURE(CompareEach(
        patterns, flagChoices, 100, [&] { return generator.Subject("ab<.\"= \nA", 20); }, tally));
    EXPECT_GT(tally.Matched, 600);
    EXPECT_EQ(tally.Skipped, 0);
}

TEST(RegexReferenceCheck, LiteralScansOverLongSubjectsAgree)
{
    // The scan for a leading literal tests 16 or 32 starts at a time and finishes byte by byte: needles at
    // every offset of long subjects, near misses included, with all matches of a global search compared.
    const char* const patterns[] = {"<noindex>", "</table>", "<img[^>]*>", "ab", "x=\"ab", "^<no", "<n(o)"};
    const char* const pieces[] = {"<noindex>", "<noindez>", "</table>", "<img a>", "ab", "x=\"ab", "<n",
                                  "a",         "b",         " ",        "<",       ">",  "index",  "tabl"};
    TGenerator generator(1618);
    TTally tally;
    for (int i = 0; i < 60; ++i) {
        std::vector<std::string> subjects;
        for (int k = 0; k < 10; ++k) {
            std::string subject;
            const int count = generator.Below(400);
            for (int n = 0; n < count; ++n) {
                subject += pieces[generator.Chance(5) ? generator.Below(7) : 7 + generator.Below(7)];
            }
            subjects.push_back(subject);
        }
        for (const char* pattern : patterns) {
            for (unsigned flags : {0u, static_cast<unsigned>(regex::GLOBAL | regex::COLLECT_MATCHES)}) {
                Compare(pattern, flags, subjects, tally);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
    EXPECT_GT(tally.Matched, 3000);
    EXPECT_EQ(tally.Skipped, 0);
}

// Tags in the three quoting forms, with blanks around '=', as the program's page patterns meet them.
std::string GeneratedTag(TGenerator& Generator)
{
    static const char* const kNames[] = {"a", "img", "td", "div"};
    static const char* const kAttributes[] = {"href", "src", "class", "name", "background"};
    static const char* const kValues[] = {"x", "y.htm", "a b", "t_link_big", "content", ""};
    std::string tag = std::string("<") + kNames[Generator.Below(4)];
    const int count = Generator.Below(4);
    for (int i = 0; i < count; ++i) {
        tag += Generator.Chance(80) ? " " : "\n";
        tag += kAttributes[Generator.Below(5)];
        tag += Generator.Chance(30) ? " = " : "=";
        const std::string value = kValues[Generator.Below(6)];
        switch (Generator.Below(3)) {
        case 0:
            tag += "\"" + value + "\"";
            break;
        case 1:
            tag += "'" + value + "'";
            break;
        default:
            tag += value;
            break;
        }
    }
    return tag + (Generator.Chance(90) ? ">" : "");
}

TEST(RegexReferenceCheck, ThePageShapedPatternsAgreeOnGeneratedTags)
{
    const char* value = "\\s*(?:=\\s*\"|=\\s*'|=)((?:(?<=\\s*\")[^\"]+(?=\"))|(?:(?<=\\s*')[^']+(?='))|"
                        "(?:(?<==)[^\\s>\"']+(?=[\\s>])))";
    const std::vector<std::pair<std::string, unsigned>> patterns = {
        {std::string("<img[^>]*?src") + value + "[^>]*>", 0},
        {std::string("<a[^>]*?href") + value + "[^>]*>", 0},
        {std::string("<a [^>]*?href") + value + "[^>]*>", 0},
        {std::string("<a[^>]*?class") + value + "[^>]*>.*?<b>([^\\s]+)\\s+([^<]+)</b></a>", 0},
        {std::string("<td[^>]*?class") + value + "[^>]*>.+?</table>", regex::SINGLELINE},
        {"(?<=\\.)(?:jpg|png|gif|bmp|svg)(?=\\W|$)", 0},
        {"(?:.+\\?)?(.+?\\.(?:jpg|png|gif|bmp|svg))(?=\\W|$)", 0},
        {"(.*?<body>).*?(<h1>.*?)<div[^>]*?class" + std::string(value) + "[^>]*>", regex::SINGLELINE},
        {"<tr>.*?(<a[^>]*?href" + std::string(value) + "[^>]*>.*?</a>)(.*?)(<div.*?)</tr>",
         regex::SINGLELINE},
    };
    TGenerator generator(7);
    TTally tally;
    for (int i = 0; i < 300; ++i) {
        std::string page;
        const int parts = generator.Below(6);
        for (int k = 0; k < parts; ++k) {
            switch (generator.Below(6)) {
            case 0:
                page += " text ";
                break;
            case 1:
                page += "<body>";
                break;
            case 2:
                page += "<h1>t</h1>";
                break;
            case 3:
                page += "</a><b>Mai 2010</b></a></table>\n<tr>";
                break;
            case 4:
                page += "pic.jpg?x=1 /a.png ";
                break;
            default:
                page += GeneratedTag(generator);
                break;
            }
        }
        for (const auto& entry : patterns) {
            Compare(entry.first, entry.second, {page}, tally);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
    EXPECT_GT(tally.Matched, 200);
    EXPECT_EQ(tally.Skipped, 0);
}

} // namespace
