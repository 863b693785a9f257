// The engine against PCRE2: thousands of generated patterns, each matched against generated subjects by
// both, comparing whether it matched, the whole match and every group. The generator keeps to the syntax
// the two engines share and leaves out, one comment line each, what they do differently on purpose.
#include "regex/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/SeededRandom.h"

namespace {

using TIter = std::string::const_iterator;
using TPattern = regex::basic_rpattern<TIter, regex::perl_syntax<char>>;
using TResults = regex::basic_match_results<TIter>;

// Our own flag bits, mapped onto each engine's.
constexpr unsigned kNoCase = 1;
constexpr unsigned kMultiLine = 2;
constexpr unsigned kSingleLine = 4;

using TRandom = TestSupport::TSeededRandom;

// ---------------------------------------------------------------------------------------------------------
// What a search gave: compiled or the error text, matched, and every record as [begin, end) offsets
// (-1, -1 for a group that took no part).
struct TOutcome {
    bool Compiled = false;
    std::string Error;
    bool Matched = false;
    std::vector<std::pair<long, long>> Groups;

    bool operator==(const TOutcome& Other) const
    {
        return Compiled == Other.Compiled && Matched == Other.Matched && Groups == Other.Groups;
    }
};

std::string Escaped(const std::string& Text)
{
    std::string out;
    for (char c : Text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (b < 0x20 || b >= 0x7F) {
            const char* digits = "0123456789ABCDEF";
            out += "\\x";
            out += digits[b >> 4];
            out += digits[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string Describe(const TOutcome& Outcome)
{
    if (!Outcome.Compiled) {
        return "compile error \"" + Outcome.Error + "\"";
    }
    if (!Outcome.Matched) {
        return "no match";
    }
    std::ostringstream out;
    for (std::size_t i = 0; i < Outcome.Groups.size(); ++i) {
        out << (i ? " " : "") << i << ":";
        if (Outcome.Groups[i].first < 0) {
            out << "unset";
        } else {
            out << "[" << Outcome.Groups[i].first << "," << Outcome.Groups[i].second << ")";
        }
    }
    return out.str();
}

// ---------------------------------------------------------------------------------------------------------
// PCRE2 as the peer: byte mode, line feed as the only newline, and a match limit so that a pattern with
// explosive backtracking is skipped instead of slowing the test.
struct TCodeFree {
    void operator()(pcre2_code* Code) const { pcre2_code_free(Code); }
};
struct TCompileContextFree {
    void operator()(pcre2_compile_context* Context) const { pcre2_compile_context_free(Context); }
};
struct TMatchContextFree {
    void operator()(pcre2_match_context* Context) const { pcre2_match_context_free(Context); }
};
struct TMatchDataFree {
    void operator()(pcre2_match_data* Data) const { pcre2_match_data_free(Data); }
};

class TPcre2 {
  public:
    TPcre2(const std::string& Pattern, unsigned Flags)
        : m_CompileContext(pcre2_compile_context_create(nullptr)),
          m_MatchContext(pcre2_match_context_create(nullptr))
    {
        pcre2_set_newline(m_CompileContext.get(), PCRE2_NEWLINE_LF);
        pcre2_set_match_limit(m_MatchContext.get(), 200000);
        // The engine's multi-line ^ holds after every line feed, the last one included; PCRE2 needs
        // ALT_CIRCUMFLEX for that.
        // PCRE2 10.42's optimisations get some patterns wrong ((?=A)()\1A and b?(?>|a)b find no match in
        // "A" and "b"): the peer runs without them; they are meant to change no result.
        std::uint32_t options =
            PCRE2_ALT_CIRCUMFLEX | PCRE2_NO_START_OPTIMIZE | PCRE2_NO_AUTO_POSSESS | PCRE2_NO_DOTSTAR_ANCHOR;
        options |= (Flags & kNoCase) ? PCRE2_CASELESS : 0;
        options |= (Flags & kMultiLine) ? PCRE2_MULTILINE : 0;
        options |= (Flags & kSingleLine) ? PCRE2_DOTALL : 0;
        int code = 0;
        PCRE2_SIZE offset = 0;
        m_Code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(), options,
                                   &code, &offset, m_CompileContext.get()));
        if (!m_Code) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(code, message, sizeof message);
            m_Error = reinterpret_cast<const char*>(message);
            m_Error += " at " + std::to_string(offset);
            return;
        }
        pcre2_pattern_info(m_Code.get(), PCRE2_INFO_CAPTURECOUNT, &m_CaptureCount);
        m_Data.reset(pcre2_match_data_create_from_pattern(m_Code.get(), nullptr));
    }

    const std::string& Error() const { return m_Error; }

    // False when PCRE2 gave up (match limit): such a case is not compared.
    bool Match(const std::string& Subject, TOutcome& Outcome) const
    {
        Outcome = TOutcome();
        Outcome.Compiled = static_cast<bool>(m_Code);
        Outcome.Error = m_Error;
        if (!m_Code) {
            return true;
        }
        const int rc = pcre2_match(m_Code.get(), reinterpret_cast<PCRE2_SPTR>(Subject.data()), Subject.size(),
                                   0, 0, m_Data.get(), m_MatchContext.get());
        if (rc == PCRE2_ERROR_NOMATCH) {
            return true;
        }
        if (rc < 0) {
            return false;
        }
        Outcome.Matched = true;
        const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(m_Data.get());
        for (std::uint32_t i = 0; i <= m_CaptureCount; ++i) {
            if (static_cast<int>(i) >= rc || vector[2 * i] == PCRE2_UNSET) {
                Outcome.Groups.emplace_back(-1, -1);
            } else {
                Outcome.Groups.emplace_back(static_cast<long>(vector[2 * i]),
                                            static_cast<long>(vector[2 * i + 1]));
            }
        }
        return true;
    }

  private:
    std::unique_ptr<pcre2_compile_context, TCompileContextFree> m_CompileContext;
    std::unique_ptr<pcre2_match_context, TMatchContextFree> m_MatchContext;
    std::unique_ptr<pcre2_code, TCodeFree> m_Code;
    std::unique_ptr<pcre2_match_data, TMatchDataFree> m_Data;
    std::uint32_t m_CaptureCount = 0;
    std::string m_Error;
};

// The engine under test, compiled once per pattern.
class TEngine {
  public:
    TEngine(const std::string& Pattern, unsigned Flags)
    {
        unsigned bits = regex::NOFLAGS;
        bits |= (Flags & kNoCase) ? regex::NOCASE : regex::NOFLAGS;
        bits |= (Flags & kMultiLine) ? regex::MULTILINE : regex::NOFLAGS;
        bits |= (Flags & kSingleLine) ? regex::SINGLELINE : regex::NOFLAGS;
        try {
            m_Pattern = std::make_unique<TPattern>(Pattern, bits, regex::MODE_RECURSIVE);
        } catch (const regex::bad_regexpr& error) {
            m_Error = error.what();
        }
    }

    // FastPaths false: the engine's straightforward search, which must give the same results.
    // False when the search gave up at its step limit: such a case is not compared. A backtracking search
    // can take exponential time; the engine lets an empty iteration of a repeated group be followed by
    // more iterations, where PCRE2 stops, so it has more ways to fail than PCRE2 on some patterns.
    bool Match(const std::string& Subject, TOutcome& Outcome, bool FastPaths = true) const
    {
        Outcome = TOutcome();
        Outcome.Compiled = static_cast<bool>(m_Pattern);
        Outcome.Error = m_Error;
        if (!m_Pattern) {
            return true;
        }
        TResults results;
        regex::match_options options;
        options.fast_paths = FastPaths;
        options.step_limit = 2000000;
        Outcome.Matched = m_Pattern->match(Subject.begin(), Subject.end(), results, options);
        if (results.limit_reached()) {
            return false;
        }
        if (Outcome.Matched) {
            for (std::size_t i = 0; i < results.size(); ++i) {
                if (results[i].matched) {
                    Outcome.Groups.emplace_back(static_cast<long>(results[i].first - Subject.begin()),
                                                static_cast<long>(results[i].second - Subject.begin()));
                } else {
                    Outcome.Groups.emplace_back(-1, -1);
                }
            }
        }
        return true;
    }

  private:
    std::unique_ptr<TPattern> m_Pattern;
    std::string m_Error;
};

// ---------------------------------------------------------------------------------------------------------
// Pattern trees. A node renders to pattern text and samples subject text that it would match, so that
// many subjects do match and the groups get compared, not only failures.
enum class EKind { Atom, Anchor, BackRef, Capture, Group, LookAhead, LookBehind, Condition };

struct TNode {
    EKind Kind = EKind::Atom;
    std::string Text;             // Atom, Anchor, BackRef: the whole text; groups: the opening
    std::string EngineOnlyPrefix; // LookBehind: a prefix that can match empty, shown only to the engine
    std::vector<std::vector<TNode>> Alternatives;
    unsigned Number = 0;       // Capture: its number; BackRef, Condition: the group referred to
    std::string Quantifier;    // "" or the quantifier text
    unsigned Min = 1, Max = 1; // repetitions the sampler may produce
    std::string Members;       // Atom: the subject characters it matches
};

// Whether a node can match the empty string (back-references and conditionals counted as able to).
bool CanMatchEmpty(const TNode& Node)
{
    switch (Node.Kind) {
    case EKind::Atom:
        return Node.Min == 0;
    case EKind::Capture:
    case EKind::Group:
        if (Node.Min == 0) {
            return true;
        }
        for (const std::vector<TNode>& alternative : Node.Alternatives) {
            bool all = true;
            for (const TNode& item : alternative) {
                all = all && CanMatchEmpty(item);
            }
            if (all) {
                return true;
            }
        }
        return false;
    default:
        return true;
    }
}

void Render(const std::vector<TNode>& Sequence, bool ForEngine, std::string& Out);

void Render(const TNode& Node, bool ForEngine, std::string& Out)
{
    Out += Node.Text;
    if (Node.Kind != EKind::Atom && Node.Kind != EKind::Anchor && Node.Kind != EKind::BackRef) {
        // The engine's prefix applies to every branch: (?<=P*(?:A|B)) for PCRE2's (?<=A|B).
        const bool prefixed = ForEngine && !Node.EngineOnlyPrefix.empty();
        const bool wrap = prefixed && Node.Alternatives.size() > 1;
        Out += prefixed ? Node.EngineOnlyPrefix : "";
        Out += wrap ? "(?:" : "";
        for (std::size_t i = 0; i < Node.Alternatives.size(); ++i) {
            Out += i ? "|" : "";
            Render(Node.Alternatives[i], ForEngine, Out);
        }
        Out += wrap ? "))" : ")";
    }
    Out += Node.Quantifier;
}

void Render(const std::vector<TNode>& Sequence, bool ForEngine, std::string& Out)
{
    for (std::size_t i = 0; i < Sequence.size(); ++i) {
        const TNode& node = Sequence[i];
        // A digit right after a back-reference would extend its number: keep it apart in a class.
        if (i > 0 && Sequence[i - 1].Kind == EKind::BackRef && Sequence[i - 1].Quantifier.empty() &&
            node.Kind == EKind::Atom && node.Text.size() == 1 && node.Text[0] >= '0' && node.Text[0] <= '9') {
            Out += "[" + node.Text + "]" + node.Quantifier;
            continue;
        }
        Render(node, ForEngine, Out);
    }
}

std::string Render(const std::vector<std::vector<TNode>>& Alternatives, bool ForEngine)
{
    std::string out;
    for (std::size_t i = 0; i < Alternatives.size(); ++i) {
        out += i ? "|" : "";
        Render(Alternatives[i], ForEngine, out);
    }
    return out;
}

class TSampler {
  public:
    TSampler(TRandom& Random, const std::string& Alphabet) : m_Random(Random), m_Alphabet(Alphabet) {}

    void Sample(const std::vector<TNode>& Sequence, std::string& Out)
    {
        for (const TNode& node : Sequence) {
            Sample(node, Out);
        }
    }

  private:
    void Sample(const TNode& Node, std::string& Out)
    {
        const unsigned times = m_Random.Between(Node.Min, std::min(Node.Max, Node.Min + 2));
        for (unsigned t = 0; t < times; ++t) {
            switch (Node.Kind) {
            case EKind::Atom:
                Out += m_Random.Pick(Node.Members.empty() ? m_Alphabet : Node.Members);
                break;
            case EKind::BackRef:
                if (m_Captures.count(Node.Number)) {
                    Out += m_Captures[Node.Number];
                }
                break;
            case EKind::Capture: {
                std::string text;
                Sample(PickAlternative(Node), text);
                m_Captures[Node.Number] = text;
                Out += text;
                break;
            }
            case EKind::Group:
                Sample(PickAlternative(Node), Out);
                break;
            case EKind::Condition: {
                const bool yes = m_Captures.count(Node.Number) != 0;
                if (yes) {
                    Sample(Node.Alternatives[0], Out);
                } else if (Node.Alternatives.size() > 1) {
                    Sample(Node.Alternatives[1], Out);
                }
                break;
            }
            case EKind::Anchor:
            case EKind::LookAhead:
            case EKind::LookBehind:
                break;
            }
        }
    }

    const std::vector<TNode>& PickAlternative(const TNode& Node)
    {
        return Node.Alternatives[m_Random.Below(static_cast<unsigned>(Node.Alternatives.size()))];
    }

    TRandom& m_Random;
    const std::string& m_Alphabet;
    std::map<unsigned, std::string> m_Captures;
};

// ---------------------------------------------------------------------------------------------------------
// A family of generated patterns: its own seed, size and emphasis.
struct TFamily {
    const char* Name;
    std::uint64_t Seed;
    unsigned Patterns;
    unsigned LookAroundPercent; // chance that an item is a look-ahead or look-behind
    bool NullablePrefix;        // look-behinds get a prefix that can match empty, for the engine only
    bool LeadingDotStar;        // SINGLELINE patterns that begin with .* or .*?, alone or in a first group
    bool RandomFlags;           // NOCASE, MULTILINE, SINGLELINE and inline flag groups
    const char* Alphabet;       // subject characters
    const char* Literals;       // pattern characters used as literals
    std::vector<const char*> Classes;
};

using TAlternatives = std::vector<std::vector<TNode>>;

struct TCase {
    TAlternatives Tree;
    std::string EnginePattern;
    std::string Pcre2Pattern;
    unsigned Flags = 0;
    std::vector<std::string> Subjects;
};

class TGenerator {
  public:
    explicit TGenerator(const TFamily& Family)
        : m_Family(Family), m_Random(Family.Seed), m_Alphabet(Family.Alphabet)
    {
    }

    TCase Next()
    {
        m_Groups = 0;
        m_Closed.clear();
        TCase result;
        if (m_Family.RandomFlags) {
            result.Flags = m_Random.Below(8);
        }
        if (m_Family.LeadingDotStar) {
            result.Flags |= kSingleLine;
        }
        m_Flags = result.Flags;

        std::vector<std::vector<TNode>> top;
        if (m_Family.LeadingDotStar) {
            top.push_back(LeadingDotStar());
        } else {
            top = Alternatives(3, true);
        }
        result.EnginePattern = Render(top, true);
        result.Pcre2Pattern = Render(top, false);
        result.Tree = top;

        const unsigned maxLength = m_Family.LeadingDotStar ? 24 : 14;
        for (int i = 0; i < 3; ++i) {
            result.Subjects.push_back(RandomText(m_Random.Below(maxLength + 1)));
        }
        for (int i = 0; i < 5; ++i) {
            TSampler sampler(m_Random, m_Alphabet);
            std::string text = RandomText(m_Random.Below(4));
            sampler.Sample(top[m_Random.Below(static_cast<unsigned>(top.size()))], text);
            text += RandomText(m_Random.Below(4));
            if (m_Random.Percent(25) && !text.empty()) {
                text[m_Random.Below(static_cast<unsigned>(text.size()))] = m_Random.Pick(m_Alphabet);
            }
            if (text.size() > maxLength + 6) {
                text.resize(maxLength + 6);
            }
            result.Subjects.push_back(text);
        }
        return result;
    }

  private:
    std::string RandomText(unsigned Length)
    {
        std::string text;
        for (unsigned i = 0; i < Length; ++i) {
            text += m_Random.Pick(m_Alphabet);
        }
        return text;
    }

    std::vector<std::vector<TNode>> Alternatives(unsigned Depth, bool Captures)
    {
        std::vector<std::vector<TNode>> result;
        const unsigned count = m_Random.Percent(65) ? 1 : m_Random.Between(2, 3);
        for (unsigned i = 0; i < count; ++i) {
            result.push_back(Sequence(Depth, Captures));
        }
        return result;
    }

    std::vector<TNode> Sequence(unsigned Depth, bool Captures)
    {
        std::vector<TNode> result;
        const unsigned count = m_Random.Percent(8) ? 0 : m_Random.Between(1, 4);
        for (unsigned i = 0; i < count; ++i) {
            result.push_back(Item(Depth, Captures));
        }
        return result;
    }

    TNode Item(unsigned Depth, bool Captures)
    {
        const unsigned roll = m_Random.Below(100);
        if (Depth > 0 && roll < m_Family.LookAroundPercent) {
            return m_Random.Percent(50) ? LookAhead(Depth) : LookBehind();
        }
        if (roll >= 90 && roll < 95) {
            return Anchor();
        }
        if (roll >= 95 && !m_Closed.empty()) {
            TNode node;
            node.Kind = EKind::BackRef;
            node.Number = m_Closed[m_Random.Below(static_cast<unsigned>(m_Closed.size()))];
            node.Text = "\\" + std::to_string(node.Number);
            Quantify(node, 30);
            return node;
        }
        if (Depth > 0 && m_Random.Percent(22)) {
            return GroupItem(Depth, Captures);
        }
        TNode node = Atom();
        Quantify(node, 40);
        return node;
    }

    TNode GroupItem(unsigned Depth, bool Captures)
    {
        TNode node;
        const unsigned roll = m_Random.Below(100);
        if (Captures && roll < 55 && m_Groups < 9) {
            node.Kind = EKind::Capture;
            node.Text = "(";
            node.Number = ++m_Groups;
        } else if (roll < 75) {
            node.Kind = EKind::Group;
            node.Text = "(?:";
        } else if (roll < 82) {
            node.Kind = EKind::Group;
            node.Text = "(?>";
        } else if (roll < 90 && m_Family.RandomFlags) {
            node.Kind = EKind::Group;
            const char* flagGroups[] = {"(?i:", "(?-i:", "(?s:", "(?m:", "(?i-s:", "(?sm:"};
            node.Text = flagGroups[m_Random.Below(6)];
        } else if (roll < 96 && !m_Closed.empty()) {
            // Conditional on a group that is already closed: two branches at most.
            node.Kind = EKind::Condition;
            node.Number = m_Closed[m_Random.Below(static_cast<unsigned>(m_Closed.size()))];
            node.Text = "(?(" + std::to_string(node.Number) + ")";
            node.Alternatives.push_back(NonEmptySequence(Depth - 1, Captures));
            if (m_Random.Percent(70)) {
                node.Alternatives.push_back(NonEmptySequence(Depth - 1, Captures));
            }
            return node;
        } else {
            node.Kind = EKind::Group;
            node.Text = "(?:";
        }
        node.Alternatives = Alternatives(Depth - 1, Captures);
        // An extension group with nothing inside produces no node in the engine (and cannot be quantified).
        if (node.Kind == EKind::Group && Render(node.Alternatives, true).empty()) {
            node.Alternatives = {NonEmptySequence(Depth - 1, Captures)};
        }
        if (node.Kind == EKind::Capture) {
            m_Closed.push_back(node.Number);
        }
        // PCRE2 stops repeating a group after one empty iteration, the engine after two in a row (by design).
        if (!CanMatchEmpty(node)) {
            Quantify(node, 30);
        }
        return node;
    }

    std::vector<TNode> NonEmptySequence(unsigned Depth, bool Captures)
    {
        std::vector<TNode> result = Sequence(Depth, Captures);
        if (result.empty()) {
            result.push_back(Atom());
        }
        return result;
    }

    TNode Anchor()
    {
        // \b and \B look at the character after the position; the rest only at the ends and line feeds.
        const char* anchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
        TNode node;
        node.Kind = EKind::Anchor;
        node.Text = anchors[m_Random.Below(7)];
        node.Min = node.Max = 1;
        return node;
    }

    TNode Atom()
    {
        TNode node;
        const unsigned roll = m_Random.Below(100);
        if (roll < 55) {
            const char c = m_Random.Pick(m_Family.Literals);
            node.Text =
                (c == '.' || c == '$' || c == '^' || c == '|') ? std::string("\\") + c : std::string(1, c);
        } else if (roll < 62) {
            node.Text = ".";
        } else if (roll < 65) {
            node.Text = "\\x61"; // 'a' by its code
        } else {
            node.Text = m_Family.Classes[m_Random.Below(static_cast<unsigned>(m_Family.Classes.size()))];
        }
        node.Members = Members(node.Text);
        return node;
    }

    // The subject characters an atom matches, asked of PCRE2 itself.
    std::string Members(const std::string& Atom)
    {
        const std::string key = std::to_string(m_Flags) + Atom;
        auto found = m_Members.find(key);
        if (found != m_Members.end()) {
            return found->second;
        }
        TPcre2 peer("^(?:" + Atom + ")\\z", m_Flags & ~kMultiLine);
        std::string members;
        for (char c : m_Alphabet) {
            TOutcome outcome;
            if (peer.Match(std::string(1, c), outcome) && outcome.Matched) {
                members += c;
            }
        }
        return m_Members[key] = members;
    }

    void Quantify(TNode& Node, unsigned Chance)
    {
        if (!m_Random.Percent(Chance)) {
            return;
        }
        const unsigned roll = m_Random.Below(100);
        unsigned low = 0, high = 0;
        std::string text;
        if (roll < 25) {
            text = "*", low = 0, high = 3;
        } else if (roll < 45) {
            text = "+", low = 1, high = 3;
        } else if (roll < 65) {
            text = "?", low = 0, high = 1;
        } else if (roll < 75) {
            low = high = m_Random.Between(0, 3);
            text = "{" + std::to_string(low) + "}";
        } else if (roll < 85) {
            low = m_Random.Between(0, 2);
            high = low + 2;
            text = "{" + std::to_string(low) + ",}";
        } else {
            low = m_Random.Between(0, 2);
            high = low + m_Random.Between(0, 3);
            text = "{" + std::to_string(low) + "," + std::to_string(high) + "}";
        }
        if (m_Random.Percent(35)) {
            text += "?";
        }
        Node.Quantifier = text;
        Node.Min = low;
        Node.Max = high;
    }

    TNode LookAhead(unsigned Depth)
    {
        TNode node;
        node.Kind = EKind::LookAhead;
        node.Text = m_Random.Percent(60) ? "(?=" : "(?!";
        node.Alternatives = Alternatives(Depth - 1, true);
        // An empty look-around produces no node in the engine, so (?!) would not fail there.
        if (Render(node.Alternatives, true).empty()) {
            node.Alternatives = {NonEmptySequence(0, true)};
        }
        return node;
    }

    // PCRE2 takes only look-behinds whose branches each have a fixed width. The bodies also keep out
    // what the engine sees differently inside a look-behind, whose subject ends at the position tested:
    // $ \z \Z \b \B and look-arounds (they would look past it), and back-references.
    // Captures only when all branches have one width: with several widths the engine tries the starts
    // from the furthest back and PCRE2 the branches in order, so the same match may capture differently.
    TNode LookBehind()
    {
        TNode node;
        node.Kind = EKind::LookBehind;
        node.Text = m_Random.Percent(60) ? "(?<=" : "(?<!";
        const unsigned branches = m_Random.Percent(60) ? 1 : m_Random.Between(2, 3);
        const bool sameWidth = m_Random.Percent(50);
        const unsigned width = m_Random.Between(1, 3);
        const bool captures = sameWidth && !m_Family.NullablePrefix && m_Random.Percent(50);
        for (unsigned i = 0; i < branches; ++i) {
            node.Alternatives.push_back(Fixed(sameWidth ? width : m_Random.Between(1, 3), 2, captures));
        }
        if (m_Family.NullablePrefix) {
            // (?<=P*X) holds exactly when (?<=X) holds: the engine gets the first, PCRE2 the second.
            const char* prefixes[] = {"\\s*", "\\s*?", "[^\"]*", ".*", "a?", "(?:ab)*", "[ab]{0,3}", "\\w*?"};
            node.EngineOnlyPrefix = prefixes[m_Random.Below(8)];
        }
        return node;
    }

    // A sequence of exactly Width characters.
    std::vector<TNode> Fixed(unsigned Width, unsigned Depth, bool Captures)
    {
        std::vector<TNode> result;
        if (m_Random.Percent(5)) {
            TNode anchor;
            anchor.Kind = EKind::Anchor;
            anchor.Text = m_Random.Percent(50) ? "^" : "\\A";
            result.push_back(anchor);
        }
        unsigned left = Width;
        while (left > 0) {
            const unsigned part = m_Random.Between(1, left);
            const unsigned roll = m_Random.Below(100);
            if (Depth > 0 && roll < 25) {
                TNode group;
                if (Captures && m_Groups < 9 && m_Random.Percent(60)) {
                    group.Kind = EKind::Capture;
                    group.Text = "(";
                    group.Number = ++m_Groups;
                } else {
                    group.Kind = EKind::Group;
                    group.Text = "(?:";
                }
                const unsigned branches = m_Random.Percent(50) ? 1 : 2;
                for (unsigned i = 0; i < branches; ++i) {
                    group.Alternatives.push_back(Fixed(part, Depth - 1, Captures));
                }
                if (group.Kind == EKind::Capture) {
                    m_Closed.push_back(group.Number);
                }
                result.push_back(group);
                left -= part;
            } else if (roll < 40 && part > 1) {
                TNode atom = Atom();
                atom.Quantifier = "{" + std::to_string(part) + "}" + (m_Random.Percent(30) ? "?" : "");
                atom.Min = atom.Max = part;
                result.push_back(atom);
                left -= part;
            } else {
                result.push_back(Atom());
                left -= 1;
            }
        }
        return result;
    }

    // Site B's article pattern begins with (.*?<body>): a first group whose first item is .*? or .*.
    std::vector<TNode> LeadingDotStar()
    {
        std::vector<TNode> result;
        TNode dots;
        dots.Text = ".";
        dots.Members = m_Alphabet;
        const unsigned roll = m_Random.Below(4);
        dots.Quantifier = roll == 0 ? "*" : roll == 1 ? "*?" : roll == 2 ? "+" : "+?";
        dots.Min = roll < 2 ? 0 : 1;
        dots.Max = 4;
        if (m_Random.Percent(60)) {
            TNode group;
            group.Kind = EKind::Capture;
            group.Text = "(";
            group.Number = ++m_Groups;
            std::vector<TNode> body{dots};
            for (TNode& item : NonEmptySequence(2, true)) {
                body.push_back(item);
            }
            group.Alternatives.push_back(body);
            m_Closed.push_back(group.Number);
            result.push_back(group);
        } else {
            result.push_back(dots);
        }
        for (TNode& item : NonEmptySequence(2, true)) {
            result.push_back(item);
        }
        return result;
    }

    const TFamily& m_Family;
    TRandom m_Random;
    std::string m_Alphabet;
    unsigned m_Flags = 0;
    unsigned m_Groups = 0;
    std::vector<unsigned> m_Closed;
    std::map<std::string, std::string> m_Members;
};

// ---------------------------------------------------------------------------------------------------------
// Shrinking a disagreement to a small reproducer: drop alternatives, items, quantifiers, prefixes, groups
// (keeping their contents), subject characters and flags while the two engines still disagree.
void Mutations(const TAlternatives& Tree, std::vector<TAlternatives>& Out)
{
    for (std::size_t a = 0; a < Tree.size(); ++a) {
        if (Tree.size() > 1) {
            TAlternatives fewer = Tree;
            fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(a));
            Out.push_back(fewer);
        }
        const std::vector<TNode>& sequence = Tree[a];
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            const TNode& node = sequence[i];
            auto with = [&](std::vector<TNode> Replacement) {
                TAlternatives changed = Tree;
                std::vector<TNode>& target = changed[a];
                target.erase(target.begin() + static_cast<std::ptrdiff_t>(i));
                target.insert(target.begin() + static_cast<std::ptrdiff_t>(i), Replacement.begin(),
                              Replacement.end());
                Out.push_back(changed);
            };
            with({});
            if (!node.Quantifier.empty()) {
                TNode plain = node;
                plain.Quantifier.clear();
                plain.Min = plain.Max = 1;
                with({plain});
            }
            if (!node.EngineOnlyPrefix.empty()) {
                TNode plain = node;
                plain.EngineOnlyPrefix.clear();
                with({plain});
            }
            if (node.Kind == EKind::Atom && node.Text != "a") {
                TNode simple = node;
                simple.Text = "a";
                with({simple});
            }
            if (node.Kind == EKind::Capture || node.Kind == EKind::Group) {
                for (const std::vector<TNode>& inner : node.Alternatives) {
                    if (node.Quantifier.empty()) {
                        with(inner);
                    }
                }
            }
            std::vector<TAlternatives> inner;
            Mutations(node.Alternatives, inner);
            for (TAlternatives& alternatives : inner) {
                TNode changed = node;
                changed.Alternatives = std::move(alternatives);
                with({changed});
            }
        }
    }
}

// The width of a sequence when it is fixed, else -1.
long FixedWidth(const std::vector<TNode>& Sequence);

long FixedWidth(const TNode& Node)
{
    const long times = Node.Min == Node.Max ? static_cast<long>(Node.Min) : -1;
    switch (Node.Kind) {
    case EKind::Atom:
        return times;
    case EKind::Anchor:
    case EKind::LookAhead:
    case EKind::LookBehind:
        return 0;
    case EKind::BackRef:
    case EKind::Condition:
        return -1;
    case EKind::Capture:
    case EKind::Group:
        break;
    }
    long width = -2;
    for (const std::vector<TNode>& alternative : Node.Alternatives) {
        const long w = FixedWidth(alternative);
        width = (width == -2 || width == w) ? w : -1;
    }
    return width < 0 || times < 0 ? -1 : width * times;
}

long FixedWidth(const std::vector<TNode>& Sequence)
{
    long width = 0;
    for (const TNode& node : Sequence) {
        const long w = FixedWidth(node);
        if (w < 0) {
            return -1;
        }
        width += w;
    }
    return width;
}

bool HasCapture(const TAlternatives& Tree)
{
    for (const std::vector<TNode>& sequence : Tree) {
        for (const TNode& node : sequence) {
            if (node.Kind == EKind::Capture || HasCapture(node.Alternatives)) {
                return true;
            }
        }
    }
    return false;
}

// Whether a shrunk tree still keeps the generator's rules (see TGenerator::LookBehind).
bool KeepsTheRules(const TAlternatives& Tree)
{
    for (const std::vector<TNode>& sequence : Tree) {
        for (const TNode& node : sequence) {
            const bool extension = node.Kind == EKind::Group || node.Kind == EKind::LookAhead ||
                                   node.Kind == EKind::LookBehind || node.Kind == EKind::Condition;
            if ((extension && Render(node.Alternatives, false).empty()) ||
                !KeepsTheRules(node.Alternatives)) {
                return false;
            }
            if ((node.Kind == EKind::Capture || node.Kind == EKind::Group) && !node.Quantifier.empty()) {
                TNode body = node;
                body.Min = body.Max = 1;
                if (CanMatchEmpty(body)) {
                    return false;
                }
            }
            if (node.Kind == EKind::LookBehind && HasCapture(node.Alternatives)) {
                for (const std::vector<TNode>& branch : node.Alternatives) {
                    if (FixedWidth(branch) < 0 || FixedWidth(branch) != FixedWidth(node.Alternatives[0])) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

struct TDisagreement {
    std::string EnginePattern;
    std::string Pcre2Pattern;
    unsigned Flags = 0;
    std::string Subject;
    TOutcome Expected;
    TOutcome Got;
    TOutcome GotStraightforward;
};

// True when PCRE2 compiles the pattern and the two engines disagree on Subject; fills Out.
bool Disagree(const TAlternatives& Tree, unsigned Flags, const std::string& Subject, TDisagreement& Out)
{
    Out.EnginePattern = Render(Tree, true);
    Out.Pcre2Pattern = Render(Tree, false);
    Out.Flags = Flags;
    Out.Subject = Subject;
    const TPcre2 peer(Out.Pcre2Pattern, Flags);
    if (!peer.Error().empty() || !peer.Match(Subject, Out.Expected)) {
        return false;
    }
    const TEngine engine(Out.EnginePattern, Flags);
    if (!engine.Match(Subject, Out.Got) || !engine.Match(Subject, Out.GotStraightforward, false)) {
        return false;
    }
    return !(Out.Got == Out.Expected) || !(Out.GotStraightforward == Out.Expected);
}

TDisagreement Shrink(TAlternatives Tree, unsigned Flags, std::string Subject)
{
    TDisagreement best;
    Disagree(Tree, Flags, Subject, best);
    for (bool progress = true; progress;) {
        progress = false;
        std::vector<TAlternatives> candidates;
        Mutations(Tree, candidates);
        for (TAlternatives& candidate : candidates) {
            TDisagreement found;
            if (KeepsTheRules(candidate) && Disagree(candidate, Flags, Subject, found)) {
                Tree = std::move(candidate);
                best = found;
                progress = true;
                break;
            }
        }
        for (std::size_t i = 0; !progress && i < Subject.size(); ++i) {
            TDisagreement found;
            const std::string shorter = Subject.substr(0, i) + Subject.substr(i + 1);
            if (Disagree(Tree, Flags, shorter, found)) {
                Subject = shorter;
                best = found;
                progress = true;
            }
        }
        for (unsigned bit = 1; !progress && bit <= kSingleLine; bit <<= 1) {
            TDisagreement found;
            if ((Flags & bit) && Disagree(Tree, Flags & ~bit, Subject, found)) {
                Flags &= ~bit;
                best = found;
                progress = true;
            }
        }
    }
    return best;
}

std::string Describe(const TDisagreement& D)
{
    std::ostringstream out;
    out << "pattern \"" << Escaped(D.EnginePattern) << "\"";
    if (D.Pcre2Pattern != D.EnginePattern) {
        out << " (PCRE2: \"" << Escaped(D.Pcre2Pattern) << "\")";
    }
    out << " flags \"" << ((D.Flags & kNoCase) ? "i" : "") << ((D.Flags & kMultiLine) ? "m" : "")
        << ((D.Flags & kSingleLine) ? "s" : "") << "\" subject \"" << Escaped(D.Subject)
        << "\"\n    expected " << Describe(D.Expected) << "\n    got      " << Describe(D.Got) << "\n";
    if (!(D.GotStraightforward == D.Got)) {
        out << "    without the fast paths " << Describe(D.GotStraightforward) << "\n";
    }
    return out.str();
}

// ---------------------------------------------------------------------------------------------------------
const std::vector<const char*> kClasses = {
    "[ab]",          "[^a]", "[a-c]",  "[^ab\n]",     "\\d",          "\\D",           "\\w",
    "\\W",           "\\s",  "\\S",    "[\\w-]",      "[[:alpha:]]",  "[[:^digit:]]",  "[^\\s]",
    "[A-Ca]",        "[-a]", "[a-]",   "[]a]",        "[^]a]",        "[\\x61-\\x63]", "[\\141b]",
    "[\\xE0-\\xFF]", "[.]",  "[\\]a]", "[[:upper:]]", "[[:lower:]_]", "[^[:space:]b]", "[\\d_]",
};

const std::vector<const char*> kAttributeClasses = {
    "[^\"]", "[^']", "[^\\s>\"']", "[\\s>]", "[^>]", "\\s", "[^<]", "[^\\s]", "\\W",
};

const TFamily kFamilies[] = {
    // Groups, alternation, greedy and lazy quantifiers, counted ones, classes, anchors, back-references.
    {"Core", 0x5EED0001, 4000, 0, false, false, false, "abcAB1 _-.\n\xE0", "abcA1_- .", kClasses},
    // Look-ahead and fixed-width look-behind, with captures inside them.
    {"LookAround", 0x5EED0002, 3500, 22, false, false, false, "abcAB1 _-.\n\xE0", "abcA1_- .", kClasses},
    // NOCASE, MULTILINE, SINGLELINE and inline flag groups.
    {"Flags", 0x5EED0003, 2500, 8, false, false, true, "abcAB1 _-.\n\xE0", "abcAB1_ .", kClasses},
    // The program's attribute shape: look-behinds with a leading part that can match empty.
    {"NullablePrefixLookBehind", 0x5EED0004, 2500, 30, true, false, false, "ab=\"' ><x\n", "ab=\"' ><x",
     kAttributeClasses},
    // SINGLELINE patterns that begin with .* or .*?, alone or inside a first group.
    {"LeadingDotStar", 0x5EED0005, 2000, 10, false, true, false, "ab<>x\n ", "ab<>x", kClasses},
};

void PrintTo(const TFamily& Family, std::ostream* Out)
{
    *Out << Family.Name;
}

class Differential : public testing::TestWithParam<TFamily> {};

// SKERROW_DIFFERENTIAL_SCALE=N runs N times as many patterns (other seeds follow on from the usual ones):
// a longer hunt after a change to the engine.
unsigned Scale()
{
    const char* text = std::getenv("SKERROW_DIFFERENTIAL_SCALE");
    const unsigned long scale = text ? std::strtoul(text, nullptr, 10) : 1;
    return scale > 0 ? static_cast<unsigned>(scale) : 1u;
}

TEST_P(Differential, GeneratedPatternsAgreeWithPcre2)
{
    const TFamily& family = GetParam();
    TGenerator generator(family);
    unsigned compared = 0, matched = 0, skipped = 0, peerRejected = 0, mismatches = 0;
    std::ostringstream report;
    for (unsigned n = 0; n < family.Patterns * Scale(); ++n) {
        const TCase c = generator.Next();
        const TPcre2 peer(c.Pcre2Pattern, c.Flags);
        if (!peer.Error().empty()) {
            // The generator keeps to the shared syntax, so this is a fault of the generator.
            ++peerRejected;
            report << "PCRE2 rejects \"" << Escaped(c.Pcre2Pattern) << "\": " << peer.Error() << "\n";
            continue;
        }
        const TEngine engine(c.EnginePattern, c.Flags);
        for (const std::string& subject : c.Subjects) {
            TOutcome expected;
            if (!peer.Match(subject, expected)) {
                ++skipped;
                continue;
            }
            TOutcome got, straightforward;
            if (!engine.Match(subject, got) || !engine.Match(subject, straightforward, false)) {
                ++skipped;
                continue;
            }
            ++compared;
            matched += expected.Matched ? 1 : 0;
            if ((!(got == expected) || !(straightforward == expected)) && ++mismatches <= 12) {
                TDisagreement original;
                Disagree(c.Tree, c.Flags, subject, original);
                report << Describe(original) << "  shrunk to " << Describe(Shrink(c.Tree, c.Flags, subject));
            }
        }
    }
    EXPECT_EQ(mismatches, 0u) << report.str();
    EXPECT_EQ(peerRejected, 0u) << report.str();
    // The comparison means something only when both outcomes are common and few cases are skipped.
    EXPECT_GT(matched, compared / 5) << "too few subjects match";
    EXPECT_LT(matched, compared - compared / 10) << "too few subjects fail";
    EXPECT_LT(skipped, compared / 50)
        << "too many cases beyond PCRE2's match limit or the engine's step limit";
    std::cout << "[ " << family.Name << " ] " << compared << " subjects compared, " << matched << " matched, "
              << skipped << " skipped\n";
}

INSTANTIATE_TEST_SUITE_P(Families, Differential, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<TFamily>& Info) {
                             return std::string(Info.param.Name);
                         });

} // namespace
