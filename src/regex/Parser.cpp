#include "regex/Parser.h"

#include "regex/Analysis.h"
#include "regex/Syntax.h"

#include <string>
#include <vector>

namespace regex {
namespace detail {

const char kTooDeepMessage[] = "parentheses nested too deeply";

namespace {

using syntax = perl_reader;

const char kIllFormed[] = "ill-formed regular expression";
const char kBadExtension[] = "bad extension sequence";
const char kMismatched[] = "mismatched parenthesis";
const char kQuantifierNotExpected[] = "quantifier not expected";

// The class escapes \d \D \s \S \w \W and the escaped assertions \A \Z \z \b \B stand in this order among
// the tokens; each table follows it.
constexpr char kClassLetters[] = "dDsSwW";
static_assert(static_cast<int>(reg_token::not_word) - static_cast<int>(reg_token::digit) == 5,
              "class escape tokens out of order");
constexpr node_kind kEscapeAssertions[] = {node_kind::assert_bos, node_kind::assert_peos,
                                           node_kind::assert_eos, node_kind::word_boundary,
                                           node_kind::not_word_boundary};
static_assert(static_cast<int>(reg_token::not_word_boundary) - static_cast<int>(reg_token::subject_begin) ==
                  4,
              "assertion tokens out of order");

size_t TokenOffset(reg_token Token, reg_token First)
{
    return static_cast<size_t>(static_cast<int>(Token) - static_cast<int>(First));
}

bool IsOctal(char Ch)
{
    return Ch >= '0' && Ch <= '7';
}

// One alternative being built.
struct sequence {
    node* Head = nullptr;
    node* Tail = nullptr;

    void append(node* Node)
    {
        if (Tail) {
            Tail->Next = Node;
        } else {
            Head = Node;
        }
        Tail = Node;
    }
};

class parser {
  public:
    explicit parser(compiled_pattern& Out) : m_Out(Out) {}

    /// Parses m_Out.Text into m_Out's node tree; returns what the later stages need to know of it.
    parse_facts run();

  private:
    // Parsing.
    void parse_body(group_node* Group, unsigned Flags, bool Top);
    void parse_paren(sequence& Seq, unsigned& Flags);
    void parse_run(sequence& Seq, unsigned Flags);
    void parse_quote(sequence& Seq, unsigned Flags);
    node* parse_escape(unsigned Flags);
    group_node* parse_lookaround(bool Behind, bool Positive, unsigned Flags);
    void parse_flag_list(unsigned& On, unsigned& Off, unsigned Flags);
    void maybe_quantify(sequence& Seq, node* Atom, unsigned Flags);
    bool read_quantifier(size_t& Lb, size_t& Ub, bool& Greedy);
    bool at_quantifier() const;
    void skip_extended(unsigned Flags);
    void note_first_token(unsigned Flags);

    // Node construction.
    group_node* new_group(node_kind Kind, int Number, bool Capturing);
    int take_invisible_number();
    node* make_set(const byte_set& Set);
    node* make_simple(node_kind Kind);
    void complete_group(group_node* Group, std::vector<sequence>& Alternatives, size_t NestedFirst);

    compiled_pattern& m_Out;
    const char* m_Cur = nullptr;
    const char* m_End = nullptr;
    size_t m_Depth = 0;
    bool m_HasBackrefs = false;
    bool m_FirstNoted = false;
    bool m_FirstIsCaret = false;
    bool m_FirstIsDotRepeat = false;
};

parse_facts parser::run()
{
    const std::string& text = m_Out.Text;
    m_Cur = text.data();
    m_End = m_Cur + text.size();
    // The whole pattern is parsed as the body of group 0, entered as if right after "(": a leading '?' is
    // therefore read as a group extension, and one that begins the pattern is ill-formed.
    if (m_Cur != m_End && *m_Cur == '?') {
        throw bad_regexpr(kIllFormed);
    }
    m_Out.GroupCounter = 1;
    m_Out.VisibleCount = 1;
    m_Out.Top = new_group(node_kind::group, 0, true);
    parse_body(m_Out.Top, m_Out.Flags, true);
    m_Out.End = make_simple(node_kind::end_of_pattern);
    m_Out.Top->Next = m_Out.End;
    m_Out.Groups.resize(m_Out.GroupCounter, nullptr);
    return parse_facts{m_HasBackrefs, m_FirstIsCaret, m_FirstIsDotRepeat};
}

void parser::skip_extended(unsigned Flags)
{
    if (!(Flags & EXTENDED)) {
        return;
    }
    while (m_Cur != m_End) {
        if (syntax::is_space(static_cast<unsigned char>(*m_Cur))) {
            ++m_Cur;
        } else if (*m_Cur == '#') {
            while (m_Cur != m_End && *m_Cur != '\n') {
                ++m_Cur;
            }
        } else {
            break;
        }
    }
}

void parser::note_first_token(unsigned Flags)
{
    m_FirstNoted = true;
    if (m_Cur == m_End) {
        return;
    }
    if (*m_Cur == '^') {
        m_FirstIsCaret = true;
    } else if (*m_Cur == '.') {
        const char* save = m_Cur;
        ++m_Cur;
        skip_extended(Flags);
        const char* cur = m_Cur;
        const quant_token token = syntax::quant_token_at(cur, m_End);
        m_FirstIsDotRepeat = token == quant_token::star || token == quant_token::plus ||
                             token == quant_token::star_lazy || token == quant_token::plus_lazy;
        m_Cur = save;
    }
}

group_node* parser::new_group(node_kind Kind, int Number, bool Capturing)
{
    group_node* group = m_Out.Arena.make<group_node>(Kind);
    group->Number = Number;
    group->Capturing = Capturing;
    return group;
}

int parser::take_invisible_number()
{
    const size_t number = m_Out.GroupCounter++;
    m_Out.Invisible.push_back(number);
    return static_cast<int>(number);
}

node* parser::make_set(const byte_set& Set)
{
    set_node* set = m_Out.Arena.make<set_node>(node_kind::set);
    set->Set = Set;
    return set;
}

node* parser::make_simple(node_kind Kind)
{
    return m_Out.Arena.make<node>(Kind);
}

// Parses the alternatives of a group up to and including its ')' (or, for the top group, the end of the
// pattern), then completes the group. Flags is the working copy: (?i) changes it up to the group's end.
void parser::parse_body(group_node* Group, unsigned Flags, bool Top)
{
    if (++m_Depth > kMaxNesting) {
        throw bad_regexpr(kTooDeepMessage);
    }
    const size_t nestedFirst = m_Out.GroupCounter;
    std::vector<sequence> alternatives(1);
    for (;;) {
        skip_extended(Flags);
        if (Top && !m_FirstNoted) {
            note_first_token(Flags);
        }
        if (m_Cur == m_End) {
            if (!Top) {
                throw bad_regexpr(kMismatched);
            }
            break;
        }
        if (*m_Cur == '*' || *m_Cur == '+' || *m_Cur == '?') {
            throw bad_regexpr(kQuantifierNotExpected);
        }
        sequence& seq = alternatives.back();
        const reg_token token = syntax::reg_token_at(m_Cur, m_End);
        if (token == reg_token::group_end) {
            if (Top) {
                throw bad_regexpr(kMismatched);
            }
            break;
        }
        switch (token) {
        case reg_token::alternation:
            alternatives.emplace_back();
            break;
        case reg_token::ordinary:
            parse_run(seq, Flags);
            break;
        case reg_token::group_begin:
            parse_paren(seq, Flags);
            break;
        case reg_token::begin_anchor:
            seq.append(make_simple((Flags & MULTILINE) ? node_kind::assert_bol : node_kind::assert_bos));
            break;
        case reg_token::end_anchor:
            seq.append(make_simple((Flags & MULTILINE) ? node_kind::assert_eol : node_kind::assert_peos));
            break;
        case reg_token::subject_begin:
        case reg_token::subject_end_or_nl:
        case reg_token::subject_end:
        case reg_token::word_boundary:
        case reg_token::not_word_boundary:
            seq.append(make_simple(kEscapeAssertions[TokenOffset(token, reg_token::subject_begin)]));
            break;
        case reg_token::set_begin:
            maybe_quantify(seq, make_set(parse_bracket(m_Cur, m_End, Flags)), Flags);
            break;
        case reg_token::any:
            maybe_quantify(
                seq, make_simple((Flags & SINGLELINE) ? node_kind::any : node_kind::any_but_newline), Flags);
            break;
        case reg_token::digit:
        case reg_token::not_digit:
        case reg_token::space:
        case reg_token::not_space:
        case reg_token::word:
        case reg_token::not_word:
            maybe_quantify(seq, make_set(predefined_set(kClassLetters[TokenOffset(token, reg_token::digit)])),
                           Flags);
            break;
        case reg_token::quote_begin:
            parse_quote(seq, Flags);
            break;
        case reg_token::quote_end:
            throw bad_regexpr("quotemeta turned off, but was never turned on");
        case reg_token::plain_escape:
            maybe_quantify(seq, parse_escape(Flags), Flags);
            break;
        case reg_token::group_end:
        case reg_token::end_of_pattern:
            break;
        }
    }
    if ((Group->Kind == node_kind::cond_backref || Group->Kind == node_kind::cond_assert) &&
        alternatives.size() > 2) {
        throw bad_regexpr("Too many alternates in conditional subexpression");
    }
    complete_group(Group, alternatives, nestedFirst);
    --m_Depth;
}

// A run of ordinary characters: one literal node, except that a quantifier after the run applies to its
// last character only.
void parser::parse_run(sequence& Seq, unsigned Flags)
{
    std::string run;
    for (;;) {
        const auto ch = static_cast<unsigned char>(*m_Cur++);
        skip_extended(Flags);
        if (at_quantifier()) {
            if (!run.empty()) {
                Seq.append(make_literal(m_Out.Arena, run, Flags));
            }
            maybe_quantify(Seq, make_char(m_Out.Arena, ch, Flags), Flags);
            return;
        }
        run += static_cast<char>(ch);
        if (m_Cur == m_End) {
            break;
        }
        const char* cur = m_Cur;
        if (syntax::reg_token_at(cur, m_End) != reg_token::ordinary || *m_Cur == '*' || *m_Cur == '+' ||
            *m_Cur == '?') {
            break;
        }
    }
    Seq.append(make_literal(m_Out.Arena, run, Flags));
}

void parser::parse_quote(sequence& Seq, unsigned Flags)
{
    std::string run;
    while (m_Cur != m_End) {
        if (*m_Cur == '\\' && m_Cur + 1 != m_End && m_Cur[1] == 'E') {
            m_Cur += 2;
            break;
        }
        run += *m_Cur++;
    }
    if (!run.empty()) {
        Seq.append(make_literal(m_Out.Arena, run, Flags));
    }
}

// An escape outside brackets that is not a class, an assertion or a quote. m_Cur is just after the '\'.
node* parser::parse_escape(unsigned Flags)
{
    if (m_Cur == m_End) {
        return make_char(m_Out.Arena, '\\', Flags);
    }
    const char ch = *m_Cur;
    if (ch >= '1' && ch <= '9') {
        size_t number = 0;
        const char* cur = m_Cur;
        while (cur != m_End && *cur >= '0' && *cur <= '9' &&
               number * 10 + static_cast<size_t>(*cur - '0') <= 999) {
            number = number * 10 + static_cast<size_t>(*cur - '0');
            ++cur;
        }
        if (number <= 9 || number < m_Out.GroupCounter) {
            m_Cur = cur;
            backref_node* ref = m_Out.Arena.make<backref_node>((Flags & NOCASE) ? node_kind::backref_nocase
                                                                                : node_kind::backref);
            ref->Visible = number;
            m_HasBackrefs = true;
            return ref;
        }
    }
    if (ch >= '0' && ch <= '9') {
        // Octal: up to three octal digits.
        unsigned value = 0;
        for (int digits = 0; digits < 3 && m_Cur != m_End && IsOctal(*m_Cur); ++digits) {
            value = value * 8 + static_cast<unsigned>(*m_Cur++ - '0');
        }
        return make_char(m_Out.Arena, static_cast<unsigned char>(value & 0xFF), Flags);
    }
    ++m_Cur;
    switch (ch) {
    case 'e':
        return make_char(m_Out.Arena, 27, Flags);
    case 'x': {
        unsigned value = 0;
        for (int digits = 0; digits < 2 && m_Cur != m_End && syntax::hex_value(*m_Cur) >= 0; ++digits) {
            value = value * 16 + static_cast<unsigned>(syntax::hex_value(*m_Cur++));
        }
        return make_char(m_Out.Arena, static_cast<unsigned char>(value), Flags);
    }
    case 'c': {
        if (m_Cur == m_End) {
            throw bad_regexpr("incomplete escape sequence \\c");
        }
        const unsigned char control = to_upper(static_cast<unsigned char>(*m_Cur++));
        return make_char(m_Out.Arena, static_cast<unsigned char>(control ^ 0x40), Flags);
    }
    default:
        break;
    }
    if (Flags & C_ESCAPES) {
        switch (ch) {
        case 'a':
            return make_char(m_Out.Arena, 7, Flags);
        case 'f':
            return make_char(m_Out.Arena, 12, Flags);
        case 'n':
            return make_char(m_Out.Arena, 10, Flags);
        case 'r':
            return make_char(m_Out.Arena, 13, Flags);
        case 't':
            return make_char(m_Out.Arena, 9, Flags);
        default:
            break;
        }
    }
    return make_char(m_Out.Arena, static_cast<unsigned char>(ch), Flags);
}

group_node* parser::parse_lookaround(bool Behind, bool Positive, unsigned Flags)
{
    group_node* group = new_group(Behind ? node_kind::lookbehind : node_kind::lookahead, -1, false);
    group->Positive = Positive;
    parse_body(group, Flags, false);
    return group;
}

void parser::parse_flag_list(unsigned& On, unsigned& Off, unsigned Flags)
{
    bool clearing = false;
    for (;;) {
        if (m_Cur == m_End) {
            throw bad_regexpr(kIllFormed);
        }
        unsigned bit = 0;
        switch (*m_Cur) {
        case '-':
            if (clearing) {
                throw bad_regexpr(kBadExtension);
            }
            clearing = true;
            ++m_Cur;
            continue;
        case 'i':
            bit = NOCASE;
            break;
        case 'm':
            bit = MULTILINE;
            break;
        case 's':
            bit = SINGLELINE;
            break;
        case 'x':
            bit = EXTENDED;
            break;
        case ':':
        case ')':
            return;
        default:
            throw bad_regexpr(kBadExtension);
        }
        ++m_Cur;
        (clearing ? Off : On) |= bit;
        skip_extended((Flags | On) & ~Off);
    }
}

// After "(": a capturing group or an extension. Appends what it builds to Seq; (?flags) changes Flags.
void parser::parse_paren(sequence& Seq, unsigned& Flags)
{
    if (m_Cur == m_End || *m_Cur != '?') {
        const size_t number = m_Out.GroupCounter++;
        ++m_Out.VisibleCount;
        group_node* group = new_group(node_kind::group, static_cast<int>(number), true);
        parse_body(group, Flags, false);
        maybe_quantify(Seq, group, Flags);
        return;
    }
    ++m_Cur;
    skip_extended(Flags);
    const ext_token ext = syntax::ext_token_at(m_Cur, m_End);
    // An extension closed right away makes no node (its number, if it takes one, is still taken).
    const bool closedNow = m_Cur != m_End && *m_Cur == ')';
    switch (ext) {
    case ext_token::end_of_pattern:
    case ext_token::truncated_lookbehind:
        throw bad_regexpr(kIllFormed);
    case ext_token::bad:
    case ext_token::bad_lookbehind:
        throw bad_regexpr(kBadExtension);
    case ext_token::non_capturing:
    case ext_token::independent: {
        const int number = take_invisible_number();
        if (closedNow) {
            ++m_Cur;
            return;
        }
        group_node* group = new_group(
            ext == ext_token::independent ? node_kind::independent : node_kind::group, number, false);
        parse_body(group, Flags, false);
        maybe_quantify(Seq, group, Flags);
        return;
    }
    case ext_token::lookahead:
    case ext_token::neg_lookahead:
    case ext_token::lookbehind:
    case ext_token::neg_lookbehind: {
        const bool positive = ext == ext_token::lookahead || ext == ext_token::lookbehind;
        const bool behind = ext == ext_token::lookbehind || ext == ext_token::neg_lookbehind;
        if (closedNow && positive) {
            ++m_Cur;
            return;
        }
        // An empty negative look-around still makes its node: it never holds, so "(?!)" fails.
        Seq.append(parse_lookaround(behind, positive, Flags));
        return;
    }
    case ext_token::comment:
        while (m_Cur != m_End) {
            if (*m_Cur == '\\') {
                m_Cur += (m_End - m_Cur >= 2) ? 2 : 1;
            } else if (*m_Cur++ == ')') {
                return;
            }
        }
        throw bad_regexpr("Expecting end of comment");
    case ext_token::conditional: {
        const int number = take_invisible_number();
        if (m_Cur == m_End) {
            throw bad_regexpr(kIllFormed);
        }
        group_node* group = nullptr;
        if (*m_Cur >= '0' && *m_Cur <= '9') {
            size_t value = 0;
            while (m_Cur != m_End && *m_Cur >= '0' && *m_Cur <= '9') {
                value = std::min<size_t>(value * 10 + static_cast<size_t>(*m_Cur - '0'), 1000000);
                ++m_Cur;
            }
            if (value == 0 || m_Cur == m_End || *m_Cur != ')') {
                throw bad_regexpr(kBadExtension);
            }
            ++m_Cur;
            group = new_group(node_kind::cond_backref, number, false);
            group->CondVisible = value;
            m_HasBackrefs = true;
        } else if (*m_Cur == '?') {
            ++m_Cur;
            const ext_token condition = syntax::ext_token_at(m_Cur, m_End);
            const bool positive = condition == ext_token::lookahead || condition == ext_token::lookbehind;
            const bool behind = condition == ext_token::lookbehind || condition == ext_token::neg_lookbehind;
            if (condition != ext_token::lookahead && condition != ext_token::neg_lookahead &&
                condition != ext_token::lookbehind && condition != ext_token::neg_lookbehind) {
                throw bad_regexpr(condition == ext_token::end_of_pattern ? kIllFormed : kBadExtension);
            }
            group = new_group(node_kind::cond_assert, number, false);
            group->Condition = parse_lookaround(behind, positive, Flags);
        } else {
            throw bad_regexpr(kBadExtension);
        }
        if (m_Cur != m_End && *m_Cur == ')') {
            ++m_Cur;
            return;
        }
        parse_body(group, Flags, false);
        maybe_quantify(Seq, group, Flags);
        return;
    }
    case ext_token::recurse: {
        if (m_Cur == m_End) {
            throw bad_regexpr(kIllFormed);
        }
        if (*m_Cur != ')') {
            throw bad_regexpr(kBadExtension);
        }
        ++m_Cur;
        m_Out.HasRecursion = true;
        m_Out.RecursiveAllowed = false;
        maybe_quantify(Seq, make_simple(node_kind::recurse), Flags);
        return;
    }
    case ext_token::flags: {
        unsigned on = 0;
        unsigned off = 0;
        parse_flag_list(on, off, Flags);
        const unsigned changed = (Flags | on) & ~off;
        if (*m_Cur++ == ')') {
            Flags = changed;
            return;
        }
        const int number = take_invisible_number();
        if (m_Cur != m_End && *m_Cur == ')') {
            ++m_Cur;
            return;
        }
        group_node* group = new_group(node_kind::group, number, false);
        parse_body(group, changed, false);
        maybe_quantify(Seq, group, Flags);
        return;
    }
    }
}

bool parser::at_quantifier() const
{
    if (m_Cur == m_End) {
        return false;
    }
    if (*m_Cur == '*' || *m_Cur == '+' || *m_Cur == '?') {
        return true;
    }
    if (*m_Cur == '{') {
        const char* cur = m_Cur;
        size_t lb = 0;
        size_t ub = 0;
        bool greedy = true;
        return syntax::counted_at(cur, m_End, lb, ub, greedy);
    }
    return false;
}

bool parser::read_quantifier(size_t& Lb, size_t& Ub, bool& Greedy)
{
    const char* cur = m_Cur;
    const quant_token token = syntax::quant_token_at(cur, m_End);
    Greedy = true;
    switch (token) {
    case quant_token::none:
        return false;
    case quant_token::star_lazy:
        Greedy = false;
        [[fallthrough]];
    case quant_token::star:
        Lb = 0;
        Ub = kUnbounded;
        break;
    case quant_token::plus_lazy:
        Greedy = false;
        [[fallthrough]];
    case quant_token::plus:
        Lb = 1;
        Ub = kUnbounded;
        break;
    case quant_token::question_lazy:
        Greedy = false;
        [[fallthrough]];
    case quant_token::question:
        Lb = 0;
        Ub = 1;
        break;
    case quant_token::brace:
        if (!syntax::counted_at(cur, m_End, Lb, Ub, Greedy)) {
            return false;
        }
        if (Ub < Lb) {
            throw bad_regexpr("Can't do {n, m} with n > m");
        }
        break;
    }
    m_Cur = cur;
    return true;
}

void parser::maybe_quantify(sequence& Seq, node* Atom, unsigned Flags)
{
    skip_extended(Flags);
    size_t lb = 0;
    size_t ub = 0;
    bool greedy = true;
    if (!read_quantifier(lb, ub, greedy)) {
        Seq.append(Atom);
        return;
    }
    if (Atom->Kind == node_kind::recurse) {
        throw bad_regexpr("recursion sub-expression cannot be quantified");
    }
    if (is_group_kind(Atom->Kind)) {
        auto* group = static_cast<group_node*>(Atom);
        group_quant_node* quant =
            m_Out.Arena.make<group_quant_node>(greedy ? node_kind::max_group : node_kind::min_group);
        quant->Group = group;
        quant->Lb = lb;
        quant->Ub = ub;
        quant->End = m_Out.Arena.make<end_quant_node>(node_kind::end_quant);
        quant->End->Quant = quant;
        group->Next = quant->End;
        if (ub > 16) {
            m_Out.RecursiveAllowed = false;
        }
        Seq.append(quant);
        return;
    }
    atom_quant_node* quant =
        m_Out.Arena.make<atom_quant_node>(greedy ? node_kind::max_atom : node_kind::min_atom);
    quant->Atom = Atom;
    quant->Lb = lb;
    quant->Ub = ub;
    Seq.append(quant);
}

void parser::complete_group(group_node* Group, std::vector<sequence>& Alternatives, size_t NestedFirst)
{
    Group->AltCount = Alternatives.size();
    Group->Alts = m_Out.Arena.make_array<node*>(Alternatives.size());
    for (size_t i = 0; i < Alternatives.size(); ++i) {
        end_group_node* end = m_Out.Arena.make<end_group_node>(node_kind::end_group);
        end->Group = Group;
        Alternatives[i].append(end);
        Group->Alts[i] = Alternatives[i].Head;
    }
    note_completed_group(m_Out, Group, NestedFirst);
}

} // namespace

parse_facts parse_pattern(compiled_pattern& Out)
{
    return parser(Out).run();
}

} // namespace detail
} // namespace regex
