#include "regex/Compiler.h"

#include "regex/Syntax.h"

#include <algorithm>
#include <cstring>

namespace regex {
namespace detail {

namespace {

using syntax = perl_syntax<char>;

const char kIllFormed[] = "ill-formed regular expression";
const char kBadExtension[] = "bad extension sequence";
const char kMismatched[] = "mismatched parenthesis";
const char kQuantifierNotExpected[] = "quantifier not expected";

// The class escapes \d \D \s \S \w \W and the escaped assertions \A \Z \z \b \B stand in this order among
// the tokens; each table follows it.
constexpr char kClassLetters[] = "dDsSwW";
static_assert(static_cast<int>(reg_token::not_word) - static_cast<int>(reg_token::digit) == 5,
              "class escape tokens out of order");
constexpr node_kind kEscapeAssertions[] = {node_kind::assert_bos, node_kind::assert_peos, node_kind::assert_eos,
                                           node_kind::word_boundary, node_kind::not_word_boundary};
static_assert(static_cast<int>(reg_token::not_word_boundary) - static_cast<int>(reg_token::subject_begin) == 4,
              "assertion tokens out of order");

size_t TokenOffset(reg_token Token, reg_token First)
{
    return static_cast<size_t>(static_cast<int>(Token) - static_cast<int>(First));
}

size_t SaturatingAdd(size_t A, size_t B)
{
    return (A == kUnbounded || B == kUnbounded || A > kUnbounded - B) ? kUnbounded : A + B;
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

class compiler {
public:
    explicit compiler(compiled_pattern& Out) : m_Out(Out) {}

    void run();

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
    bool read_counted(const char*& Cur, size_t& Lb, size_t& Ub, bool& Greedy) const;
    bool at_quantifier() const;
    void skip_extended(unsigned Flags);
    void note_first_token(unsigned Flags);

    // Node construction.
    group_node* new_group(node_kind Kind, int Number, bool Capturing);
    int take_invisible_number();
    node* make_char(unsigned char Ch, unsigned Flags);
    node* make_literal(const std::string& Text, unsigned Flags);
    node* make_set(const byte_set& Set);
    node* make_simple(node_kind Kind);
    void complete_group(group_node* Group, std::vector<sequence>& Alternatives, size_t NestedFirst);

    // After parsing.
    void finish();
    width_range compute_width(node* Head, const group_node* Owner, std::vector<char>& Done);
    width_range compute_group_width(group_node* Group, std::vector<char>& Done);
    size_t to_internal(size_t Visible) const;
    void build_prefix();
    void analyse_group(group_node* Group, bool InRepeat);
    void analyse_chain(node* Head, const group_node* Owner, bool InRepeat);
    bool first_of_group(group_node* Group, byte_set& Out);
    bool fast_first(const node* Node, const group_node* Stop, byte_set& Out, bool* AtEnd = nullptr);
    bool capture_free(const node* Head, const group_node* Owner) const;
    void analyse_lookaround(group_node* Group);
    bool simple_chain(const node* Head, const group_node* Owner) const;
    void analyse_first_start_only();
    void find_required_byte(const group_node* Group);
    void assign_memo_slots(const group_node* Group, bool Leading);
    void find_whole_literal();

    compiled_pattern& m_Out;
    const char* m_Cur = nullptr;
    const char* m_End = nullptr;
    size_t m_Depth = 0;
    bool m_HasBackrefs = false;
    bool m_FirstNoted = false;
    bool m_FirstIsCaret = false;
    bool m_FirstIsDotRepeat = false;
};

void compiler::run()
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
    finish();
}

void compiler::skip_extended(unsigned Flags)
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

void compiler::note_first_token(unsigned Flags)
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

group_node* compiler::new_group(node_kind Kind, int Number, bool Capturing)
{
    group_node* group = m_Out.Arena.make<group_node>(Kind);
    group->Number = Number;
    group->Capturing = Capturing;
    return group;
}

int compiler::take_invisible_number()
{
    const size_t number = m_Out.GroupCounter++;
    m_Out.Invisible.push_back(number);
    return static_cast<int>(number);
}

node* compiler::make_char(unsigned char Ch, unsigned Flags)
{
    if ((Flags & NOCASE) && to_lower(Ch) != to_upper(Ch)) {
        return m_Out.Arena.make<char_node>(node_kind::chr_nocase, to_lower(Ch), to_upper(Ch));
    }
    return m_Out.Arena.make<char_node>(node_kind::chr, Ch, Ch);
}

node* compiler::make_literal(const std::string& Text, unsigned Flags)
{
    if (Text.size() == 1) {
        return make_char(static_cast<unsigned char>(Text[0]), Flags);
    }
    bool hasCase = false;
    if (Flags & NOCASE) {
        for (char ch : Text) {
            const auto byte = static_cast<unsigned char>(ch);
            hasCase = hasCase || to_lower(byte) != to_upper(byte);
        }
    }
    literal_node* literal = m_Out.Arena.make<literal_node>(hasCase ? node_kind::literal_nocase : node_kind::literal);
    literal->Length = Text.size();
    unsigned char* lower = m_Out.Arena.make_array<unsigned char>(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(Text[i]);
        lower[i] = hasCase ? to_lower(byte) : byte;
    }
    literal->Lower = lower;
    literal->Upper = lower;
    if (hasCase) {
        unsigned char* upper = m_Out.Arena.make_array<unsigned char>(Text.size());
        for (size_t i = 0; i < Text.size(); ++i) {
            upper[i] = to_upper(static_cast<unsigned char>(Text[i]));
        }
        literal->Upper = upper;
    }
    return literal;
}

node* compiler::make_set(const byte_set& Set)
{
    set_node* set = m_Out.Arena.make<set_node>(node_kind::set);
    set->Set = Set;
    return set;
}

node* compiler::make_simple(node_kind Kind)
{
    return m_Out.Arena.make<node>(Kind);
}

// Parses the alternatives of a group up to and including its ')' (or, for the top group, the end of the
// pattern), then completes the group. Flags is the working copy: (?i) changes it up to the group's end.
void compiler::parse_body(group_node* Group, unsigned Flags, bool Top)
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
            maybe_quantify(seq, make_simple((Flags & SINGLELINE) ? node_kind::any : node_kind::any_but_newline),
                           Flags);
            break;
        case reg_token::digit:
        case reg_token::not_digit:
        case reg_token::space:
        case reg_token::not_space:
        case reg_token::word:
        case reg_token::not_word:
            maybe_quantify(seq, make_set(predefined_set(kClassLetters[TokenOffset(token, reg_token::digit)])), Flags);
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
void compiler::parse_run(sequence& Seq, unsigned Flags)
{
    std::string run;
    for (;;) {
        const auto ch = static_cast<unsigned char>(*m_Cur++);
        skip_extended(Flags);
        if (at_quantifier()) {
            if (!run.empty()) {
                Seq.append(make_literal(run, Flags));
            }
            maybe_quantify(Seq, make_char(ch, Flags), Flags);
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
    Seq.append(make_literal(run, Flags));
}

void compiler::parse_quote(sequence& Seq, unsigned Flags)
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
        Seq.append(make_literal(run, Flags));
    }
}

namespace {

bool IsOctal(char Ch)
{
    return Ch >= '0' && Ch <= '7';
}

} // namespace

// An escape outside brackets that is not a class, an assertion or a quote. m_Cur is just after the '\'.
node* compiler::parse_escape(unsigned Flags)
{
    if (m_Cur == m_End) {
        return make_char('\\', Flags);
    }
    const char ch = *m_Cur;
    if (ch >= '1' && ch <= '9') {
        size_t number = 0;
        const char* cur = m_Cur;
        while (cur != m_End && *cur >= '0' && *cur <= '9' && number * 10 + static_cast<size_t>(*cur - '0') <= 999) {
            number = number * 10 + static_cast<size_t>(*cur - '0');
            ++cur;
        }
        if (number <= 9 || number < m_Out.GroupCounter) {
            m_Cur = cur;
            backref_node* ref =
                m_Out.Arena.make<backref_node>((Flags & NOCASE) ? node_kind::backref_nocase : node_kind::backref);
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
        return make_char(static_cast<unsigned char>(value & 0xFF), Flags);
    }
    ++m_Cur;
    switch (ch) {
    case 'e':
        return make_char(27, Flags);
    case 'x': {
        unsigned value = 0;
        for (int digits = 0; digits < 2 && m_Cur != m_End && syntax::hex_value(*m_Cur) >= 0; ++digits) {
            value = value * 16 + static_cast<unsigned>(syntax::hex_value(*m_Cur++));
        }
        return make_char(static_cast<unsigned char>(value), Flags);
    }
    case 'c': {
        if (m_Cur == m_End) {
            throw bad_regexpr("incomplete escape sequence \\c");
        }
        const unsigned char control = to_upper(static_cast<unsigned char>(*m_Cur++));
        return make_char(static_cast<unsigned char>(control ^ 0x40), Flags);
    }
    default:
        break;
    }
    if (Flags & C_ESCAPES) {
        switch (ch) {
        case 'a': return make_char(7, Flags);
        case 'f': return make_char(12, Flags);
        case 'n': return make_char(10, Flags);
        case 'r': return make_char(13, Flags);
        case 't': return make_char(9, Flags);
        default: break;
        }
    }
    return make_char(static_cast<unsigned char>(ch), Flags);
}

group_node* compiler::parse_lookaround(bool Behind, bool Positive, unsigned Flags)
{
    group_node* group = new_group(Behind ? node_kind::lookbehind : node_kind::lookahead, -1, false);
    group->Positive = Positive;
    parse_body(group, Flags, false);
    return group;
}

void compiler::parse_flag_list(unsigned& On, unsigned& Off, unsigned Flags)
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
        case 'i': bit = NOCASE; break;
        case 'm': bit = MULTILINE; break;
        case 's': bit = SINGLELINE; break;
        case 'x': bit = EXTENDED; break;
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
void compiler::parse_paren(sequence& Seq, unsigned& Flags)
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
        group_node* group =
            new_group(ext == ext_token::independent ? node_kind::independent : node_kind::group, number, false);
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

bool compiler::read_counted(const char*& Cur, size_t& Lb, size_t& Ub, bool& Greedy) const
{
    const char* cur = Cur + 1; // past '{'
    auto readNumber = [&](size_t& Value) {
        bool any = false;
        Value = 0;
        while (cur != m_End && *cur >= '0' && *cur <= '9') {
            const auto digit = static_cast<size_t>(*cur - '0');
            Value = (Value > (kUnbounded - 1 - digit) / 10) ? kUnbounded - 1 : Value * 10 + digit;
            ++cur;
            any = true;
        }
        return any;
    };
    readNumber(Lb);
    if (cur == m_End) {
        return false;
    }
    if (*cur == '}') {
        Ub = Lb;
    } else if (*cur == ',') {
        ++cur;
        if (!readNumber(Ub)) {
            Ub = kUnbounded;
        }
        if (cur == m_End || *cur != '}') {
            return false;
        }
    } else {
        return false;
    }
    ++cur; // past '}'
    Greedy = true;
    if (cur != m_End && *cur == '?') {
        Greedy = false;
        ++cur;
    }
    Cur = cur;
    return true;
}

bool compiler::at_quantifier() const
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
        return read_counted(cur, lb, ub, greedy);
    }
    return false;
}

bool compiler::read_quantifier(size_t& Lb, size_t& Ub, bool& Greedy)
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
        if (!read_counted(cur, Lb, Ub, Greedy)) {
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

void compiler::maybe_quantify(sequence& Seq, node* Atom, unsigned Flags)
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
    atom_quant_node* quant = m_Out.Arena.make<atom_quant_node>(greedy ? node_kind::max_atom : node_kind::min_atom);
    quant->Atom = Atom;
    quant->Lb = lb;
    quant->Ub = ub;
    Seq.append(quant);
}

// Adds the byte a character or literal node begins with, in both cases when it ignores case.
void AddLeadingBytes(const node* Node, byte_set& Out)
{
    if (Node->Kind == node_kind::chr || Node->Kind == node_kind::chr_nocase) {
        const auto* ch = static_cast<const char_node*>(Node);
        Out.set(ch->Lower);
        Out.set(ch->Upper);
    } else {
        const auto* literal = static_cast<const literal_node*>(Node);
        Out.set(literal->Lower[0]);
        Out.set(literal->Upper[0]);
    }
}

// Quick peek used when a group is completed: the bytes a node can begin with, or false when it cannot
// tell (compiler::fast_first looks further).
bool PeekFirst(const node* Node, byte_set& Out)
{
    for (;;) {
        if (!Node) {
            return false;
        }
        switch (Node->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::literal:
        case node_kind::literal_nocase:
            AddLeadingBytes(Node, Out);
            return true;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::cond_backref:
        case node_kind::cond_assert: {
            const auto* group = static_cast<const group_node*>(Node);
            if (!group->HasFirst) {
                return false;
            }
            Out |= group->First;
            return true;
        }
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(Node);
            if (quant->Lb == 0) {
                return false;
            }
            Node = quant->Atom;
            continue;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(Node);
            if (quant->Lb == 0) {
                return false;
            }
            Node = quant->Group;
            continue;
        }
        default:
            if (is_assertion_kind(Node->Kind)) {
                Node = Node->Next;
                continue;
            }
            return false;
        }
    }
}

void compiler::complete_group(group_node* Group, std::vector<sequence>& Alternatives, size_t NestedFirst)
{
    Group->AltCount = Alternatives.size();
    Group->Alts = m_Out.Arena.make_array<node*>(Alternatives.size());
    for (size_t i = 0; i < Alternatives.size(); ++i) {
        end_group_node* end = m_Out.Arena.make<end_group_node>(node_kind::end_group);
        end->Group = Group;
        Alternatives[i].append(end);
        Group->Alts[i] = Alternatives[i].Head;
    }
    // First-byte set: only when every alternative can tell. A conditional without a second branch may
    // match nothing, so it has none.
    const bool conditional = Group->Kind == node_kind::cond_backref || Group->Kind == node_kind::cond_assert;
    if (!conditional || Group->AltCount == 2) {
        byte_set first;
        bool all = true;
        for (size_t i = 0; i < Group->AltCount && all; ++i) {
            all = PeekFirst(Group->Alts[i], first);
        }
        Group->HasFirst = all;
        Group->First = all ? first : byte_set();
    }
    if (Group->Number >= 0) {
        const auto number = static_cast<size_t>(Group->Number);
        if (m_Out.Groups.size() <= number) {
            m_Out.Groups.resize(number + 1, nullptr);
        }
        m_Out.Groups[number] = Group;
    }
    Group->NestedFirst = NestedFirst;
    Group->NestedCount = m_Out.GroupCounter - NestedFirst;
}

size_t compiler::to_internal(size_t Visible) const
{
    size_t internal = Visible;
    for (size_t invisible : m_Out.Invisible) {
        if (invisible <= internal) {
            ++internal;
        } else {
            break;
        }
    }
    return internal;
}

width_range Multiply(width_range Atom, size_t Lb, size_t Ub)
{
    width_range result;
    if (Atom.Min == 0 || Lb == 0) {
        result.Min = 0;
    } else if (Atom.Min == kUnbounded || Lb == kUnbounded || Atom.Min > kUnbounded / Lb) {
        result.Min = kUnbounded;
    } else {
        result.Min = Atom.Min * Lb;
    }
    if (Atom.Max == 0 || Ub == 0) {
        result.Max = 0;
    } else if (Atom.Max == kUnbounded || Ub == kUnbounded || Atom.Max > kUnbounded / Ub) {
        result.Max = kUnbounded;
    } else {
        result.Max = Atom.Max * Ub;
    }
    return result;
}

width_range compiler::compute_group_width(group_node* Group, std::vector<char>& Done)
{
    width_range body{kUnbounded, 0};
    for (size_t i = 0; i < Group->AltCount; ++i) {
        const width_range alt = compute_width(Group->Alts[i], Group, Done);
        body.Min = std::min(body.Min, alt.Min);
        body.Max = std::max(body.Max, alt.Max);
    }
    if (Group->AltCount == 0) {
        body = width_range{0, 0};
    }
    switch (Group->Kind) {
    case node_kind::lookahead:
    case node_kind::lookbehind:
        Group->Inner = body;
        Group->Width = width_range{0, 0};
        break;
    case node_kind::cond_backref:
    case node_kind::cond_assert:
        if (Group->Kind == node_kind::cond_backref) {
            Group->CondInternal = to_internal(Group->CondVisible);
            if (Group->CondInternal >= m_Out.Groups.size()) {
                throw bad_regexpr("reference to nonexistent group");
            }
        } else {
            compute_group_width(Group->Condition, Done);
        }
        if (Group->AltCount < 2) {
            body.Min = 0;
        }
        Group->Width = body;
        break;
    default:
        Group->Width = body;
        break;
    }
    if (Group->Number >= 0) {
        Done[static_cast<size_t>(Group->Number)] = 1;
    }
    return Group->Width;
}

// Widths of a sequence and of every node in it, up to the end_group of Owner.
width_range compiler::compute_width(node* Head, const group_node* Owner, std::vector<char>& Done)
{
    width_range total{0, 0};
    for (node* cur = Head; cur; cur = cur->Next) {
        width_range width{0, 0};
        switch (cur->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::set:
        case node_kind::any:
        case node_kind::any_but_newline:
            width = width_range{1, 1};
            break;
        case node_kind::literal:
        case node_kind::literal_nocase: {
            const size_t length = static_cast<literal_node*>(cur)->Length;
            width = width_range{length, length};
            break;
        }
        case node_kind::backref:
        case node_kind::backref_nocase: {
            auto* ref = static_cast<backref_node*>(cur);
            ref->Internal = to_internal(ref->Visible);
            if (ref->Internal >= m_Out.Groups.size()) {
                throw bad_regexpr("reference to nonexistent group");
            }
            width = Done[ref->Internal] ? m_Out.Groups[ref->Internal]->Width : width_range{0, kUnbounded};
            break;
        }
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            width = compute_group_width(static_cast<group_node*>(cur), Done);
            break;
        case node_kind::recurse:
            width = width_range{0, kUnbounded};
            break;
        case node_kind::max_atom:
        case node_kind::min_atom: {
            auto* quant = static_cast<atom_quant_node*>(cur);
            width_range atom{0, 0};
            if (quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase) {
                atom = compute_width(quant->Atom, nullptr, Done);
                // compute_width walked only the atom: it has no successor.
            } else {
                atom = width_range{1, 1};
            }
            quant->Atom->Width = atom;
            width = Multiply(atom, quant->Lb, quant->Ub);
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            auto* quant = static_cast<group_quant_node*>(cur);
            width = Multiply(compute_group_width(quant->Group, Done), quant->Lb, quant->Ub);
            break;
        }
        case node_kind::end_group:
            if (static_cast<end_group_node*>(cur)->Group == Owner) {
                cur->Width = width_range{0, 0};
                return total;
            }
            break;
        default:
            break;
        }
        cur->Width = width;
        total.Min = SaturatingAdd(total.Min, width.Min);
        total.Max = SaturatingAdd(total.Max, width.Max);
    }
    return total;
}

// The one or two bytes outside Set (both entries the same byte when there is one); -1 when there are more
// or none. A scan over Set's bytes then stops at those bytes, 16 at a time.
void FewOutside(const byte_set& Set, int (&Out)[2])
{
    int found = 0;
    for (unsigned ch = 0; ch < 256; ++ch) {
        if (!Set.test(static_cast<unsigned char>(ch))) {
            if (found == 2) {
                Out[0] = Out[1] = -1;
                return;
            }
            Out[found++] = static_cast<int>(ch);
        }
    }
    if (found == 0) {
        Out[0] = Out[1] = -1;
    } else if (found == 1) {
        Out[1] = Out[0];
    }
}

// How often a byte turns up in the pages the program reads: markup and blanks most, then windows-1251
// letters and frequent Latin letters. Only the order matters.
int Commonness(unsigned char Byte)
{
    if (std::strchr(" <>/\"='\n\t", Byte) && Byte != 0) {
        return 10;
    }
    if (Byte >= 0xC0) {
        return 9;
    }
    if (std::strchr("etaoinsrhldc", Byte) && Byte != 0) {
        return 8;
    }
    if (Byte >= 'a' && Byte <= 'z') {
        return 6;
    }
    if ((Byte >= '0' && Byte <= '9') || std::strchr(".-_:;&", Byte)) {
        return 5;
    }
    return Byte >= 'A' && Byte <= 'Z' ? 3 : 2;
}

// The two positions of Needle (at least two bytes) whose bytes are least common: a scan for the needle
// tests those first, so that few places need a full comparison.
std::array<size_t, 2> ChooseProbes(const std::string& Needle)
{
    std::array<size_t, 2> probes{0, 1};
    auto rank = [&Needle](size_t I) { return Commonness(static_cast<unsigned char>(Needle[I])); };
    if (rank(1) < rank(0)) {
        std::swap(probes[0], probes[1]);
    }
    for (size_t i = 2; i < Needle.size(); ++i) {
        if (rank(i) < rank(probes[0])) {
            probes[1] = probes[0];
            probes[0] = i;
        } else if (rank(i) < rank(probes[1])) {
            probes[1] = i;
        }
    }
    return probes;
}

void compiler::build_prefix()
{
    const group_node* top = m_Out.Top;
    if (top->AltCount != 1) {
        return;
    }
    const node* cur = top->Alts[0];
    while (is_assertion_kind(cur->Kind)) {
        cur = cur->Next;
    }
    if (cur->Kind != node_kind::literal && cur->Kind != node_kind::literal_nocase) {
        return;
    }
    const auto* literal = static_cast<const literal_node*>(cur);
    const size_t m = std::min<size_t>(literal->Length, 255);
    m_Out.HasPrefix = true;
    m_Out.PrefixLower.assign(reinterpret_cast<const char*>(literal->Lower), m);
    m_Out.PrefixUpper.assign(reinterpret_cast<const char*>(literal->Upper), m);
    if (m >= 2) {
        m_Out.PrefixProbes = ChooseProbes(m_Out.PrefixLower);
    }
    m_Out.Skip.fill(static_cast<unsigned char>(m));
    for (size_t k = 0; k + 1 < m; ++k) {
        m_Out.Skip[literal->Lower[k]] = static_cast<unsigned char>(m - 1 - k);
    }
    if (literal->Kind == node_kind::literal_nocase) {
        for (size_t k = 0; k + 1 < m; ++k) {
            unsigned char& entry = m_Out.Skip[literal->Upper[k]];
            entry = std::min(entry, static_cast<unsigned char>(m - 1 - k));
        }
    }
}

// ---- Fast-path analysis -------------------------------------------------------------------------------

// The bytes any match of Group begins with; false when the group may match nothing or cannot tell.
bool compiler::first_of_group(group_node* Group, byte_set& Out)
{
    if (Group->FirstFastState == 0) {
        Group->FirstFastState = 2; // in progress: a cycle reads "unknown"
        byte_set first;
        bool known = Group->AltCount > 0;
        if (Group->Kind == node_kind::cond_backref || Group->Kind == node_kind::cond_assert) {
            known = known && Group->AltCount == 2;
        }
        for (size_t i = 0; i < Group->AltCount && known; ++i) {
            known = fast_first(Group->Alts[i], Group, first);
        }
        Group->FirstFastState = known ? 1 : 2;
        Group->FirstFast = known ? first : byte_set();
    }
    if (Group->FirstFastState == 1) {
        Out |= Group->FirstFast;
        return true;
    }
    return false;
}

// Adds to Out every byte that a successful match of the rest of the pattern from Node can begin with; false
// when the rest may match without consuming a byte or the bytes cannot be told. Stop: a group whose end
// counts as "may match nothing" (when asking about the group alone); null follows the pattern outwards.
// With AtEnd, an end-of-subject assertion ($ \Z \z) counts as "may also begin at the end of the subject"
// (*AtEnd is then set) instead of being looked through.
bool compiler::fast_first(const node* Node, const group_node* Stop, byte_set& Out, bool* AtEnd)
{
    // Long runs of optional items (a?b?c?...) would make the analysis quadratic: past a few dozen steps
    // the answer is "cannot tell", which only turns a fast path off.
    for (int steps = 0; steps < 64; ++steps) {
        switch (Node->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase:
        case node_kind::literal:
        case node_kind::literal_nocase:
            AddLeadingBytes(Node, Out);
            return true;
        case node_kind::set:
            Out |= static_cast<const set_node*>(Node)->Set;
            return true;
        case node_kind::any: {
            byte_set all;
            all.invert();
            Out |= all;
            return true;
        }
        case node_kind::any_but_newline: {
            byte_set all;
            all.invert();
            all.Bits[0] &= ~(std::uint64_t{1} << '\n');
            Out |= all;
            return true;
        }
        case node_kind::lookahead: {
            // A positive look-ahead whose body must consume tells the first byte by itself.
            auto* group = const_cast<group_node*>(static_cast<const group_node*>(Node));
            if (group->Positive && first_of_group(group, Out)) {
                return true;
            }
            if (group->Positive && AtEnd) {
                byte_set first;
                bool atEnd = false;
                bool known = true;
                for (size_t i = 0; i < group->AltCount && known; ++i) {
                    known = fast_first(group->Alts[i], group, first, &atEnd);
                }
                if (known) {
                    Out |= first;
                    *AtEnd = *AtEnd || atEnd;
                    return true;
                }
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::assert_peos:
        case node_kind::assert_eol:
        case node_kind::assert_eos:
            if (AtEnd) {
                if (Node->Kind != node_kind::assert_eos) {
                    Out.set('\n');
                }
                *AtEnd = true;
                return true;
            }
            Node = Node->Next;
            continue;
        case node_kind::assert_bos:
        case node_kind::assert_bol:
        case node_kind::word_boundary:
        case node_kind::not_word_boundary:
        case node_kind::lookbehind:
            Node = Node->Next;
            continue;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            return first_of_group(const_cast<group_node*>(static_cast<const group_node*>(Node)), Out);
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(Node);
            if (quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase) {
                return false;
            }
            if (quant->Ub > 0 && !fast_first(quant->Atom, Stop, Out)) {
                return false;
            }
            if (quant->Lb > 0) {
                return true;
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(Node);
            if (quant->Ub > 0 && !first_of_group(quant->Group, Out)) {
                return false;
            }
            if (quant->Lb > 0) {
                return true;
            }
            Node = Node->Next;
            continue;
        }
        case node_kind::end_quant: {
            // After an iteration: another one (only if more than one is allowed), or the rest.
            const auto* quant = static_cast<const end_quant_node*>(Node)->Quant;
            if (quant->Ub > 1 && !first_of_group(quant->Group, Out)) {
                return false;
            }
            Node = quant->Next;
            continue;
        }
        case node_kind::end_group: {
            const group_node* group = static_cast<const end_group_node*>(Node)->Group;
            // The body of an atomic group or look-around succeeds at its end whatever follows; group 0
            // may end a recursion.
            if (group == Stop || group == m_Out.Top || group->Kind == node_kind::lookahead ||
                group->Kind == node_kind::lookbehind || group->Kind == node_kind::independent) {
                return false;
            }
            Node = group->Next;
            continue;
        }
        default:
            return false;
        }
    }
    return false;
}

// True when nothing from Head up to Owner's end_group captures or recurses.
bool compiler::capture_free(const node* Head, const group_node* Owner) const
{
    for (const node* cur = Head; cur; cur = cur->Next) {
        const group_node* group = nullptr;
        switch (cur->Kind) {
        case node_kind::recurse:
            return false;
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            group = static_cast<const group_node*>(cur);
            break;
        case node_kind::max_group:
        case node_kind::min_group:
            group = static_cast<const group_quant_node*>(cur)->Group;
            break;
        case node_kind::end_group:
            if (static_cast<const end_group_node*>(cur)->Group == Owner) {
                return true;
            }
            break;
        default:
            break;
        }
        if (!group) {
            continue;
        }
        if (group->Capturing) {
            return false;
        }
        if (group->Condition && !capture_free(group->Condition->Alts[0], group->Condition)) {
            return false;
        }
        for (size_t i = 0; i < group->AltCount; ++i) {
            if (!capture_free(group->Alts[i], group)) {
                return false;
            }
        }
    }
    return true;
}

bool IsSimpleNode(node_kind Kind)
{
    return Kind <= node_kind::not_word_boundary;
}

bool compiler::simple_chain(const node* Head, const group_node* Owner) const
{
    for (const node* cur = Head;; cur = cur->Next) {
        if (cur->Kind == node_kind::end_group && static_cast<const end_group_node*>(cur)->Group == Owner) {
            return true;
        }
        if (!IsSimpleNode(cur->Kind)) {
            return false;
        }
    }
}

void compiler::analyse_lookaround(group_node* Group)
{
    bool free = true;
    for (size_t i = 0; i < Group->AltCount && free; ++i) {
        free = capture_free(Group->Alts[i], Group);
    }
    Group->Predicate = free;
    if (!free) {
        return;
    }
    node** alts = Group->Alts;
    if (Group->Kind == node_kind::lookbehind) {
        // (?<=X Y) holds exactly when (?<=Y) holds if X may always match nothing and captures nothing: the
        // match of Y that ends at p starts somewhere, and X matches the empty string right there.
        Group->FastAltCount = Group->AltCount;
        Group->FastAlts = m_Out.Arena.make_array<node*>(Group->AltCount);
        Group->FastAltInfo = m_Out.Arena.make_array<alt_info>(Group->AltCount);
        Group->FastInner = width_range{kUnbounded, 0};
        for (size_t i = 0; i < Group->AltCount; ++i) {
            node* cur = Group->Alts[i];
            while (((cur->Kind == node_kind::max_atom || cur->Kind == node_kind::min_atom) &&
                    static_cast<atom_quant_node*>(cur)->Lb == 0) ||
                   ((cur->Kind == node_kind::max_group || cur->Kind == node_kind::min_group) &&
                    static_cast<group_quant_node*>(cur)->Lb == 0)) {
                cur = cur->Next;
            }
            Group->FastAlts[i] = cur;
            width_range width{0, 0};
            for (const node* n = cur; n->Kind != node_kind::end_group ||
                                      static_cast<const end_group_node*>(n)->Group != Group;
                 n = n->Next) {
                width.Min = SaturatingAdd(width.Min, n->Width.Min);
                width.Max = SaturatingAdd(width.Max, n->Width.Max);
            }
            Group->FastInner.Min = std::min(Group->FastInner.Min, width.Min);
            Group->FastInner.Max = std::max(Group->FastInner.Max, width.Max);
            byte_set first;
            Group->FastAltInfo[i].HasFirst = fast_first(cur, Group, first);
            Group->FastAltInfo[i].First = first;
        }
        alts = Group->FastAlts;
    }
    bool simple = true;
    for (size_t i = 0; i < Group->AltCount && simple; ++i) {
        simple = simple_chain(alts[i], Group);
    }
    Group->Simple = simple;
}

void compiler::analyse_group(group_node* Group, bool InRepeat)
{
    // A group inside a repetition is entered again by the next iteration while an earlier entry may still
    // be resumed by backtracking: its entry position needs an undo record.
    Group->LogTentative = Group->Capturing && (InRepeat || m_Out.HasRecursion);
    Group->AltInfo = m_Out.Arena.make_array<alt_info>(Group->AltCount);
    for (size_t i = 0; i < Group->AltCount; ++i) {
        byte_set first;
        Group->AltInfo[i].HasFirst = fast_first(Group->Alts[i], nullptr, first);
        Group->AltInfo[i].First = first;
        Group->AltFilter = Group->AltFilter || Group->AltInfo[i].HasFirst;
        analyse_chain(Group->Alts[i], Group, InRepeat);
    }
    if (Group->Condition) {
        analyse_group(Group->Condition, InRepeat);
    }
    if (Group->Kind == node_kind::lookahead || Group->Kind == node_kind::lookbehind) {
        analyse_lookaround(Group);
    }
}

void compiler::analyse_chain(node* Head, const group_node* Owner, bool InRepeat)
{
    for (node* cur = Head; cur; cur = cur->Next) {
        switch (cur->Kind) {
        case node_kind::group:
        case node_kind::independent:
        case node_kind::lookahead:
        case node_kind::lookbehind:
        case node_kind::cond_backref:
        case node_kind::cond_assert:
            analyse_group(static_cast<group_node*>(cur), InRepeat);
            break;
        case node_kind::max_atom:
        case node_kind::min_atom: {
            auto* quant = static_cast<atom_quant_node*>(cur);
            byte_set follow;
            quant->HasFollow = fast_first(quant->Next, nullptr, follow);
            if (!quant->HasFollow) {
                follow = byte_set();
                bool atEnd = false;
                quant->HasFollow = fast_first(quant->Next, nullptr, follow, &atEnd);
                quant->FollowAtEnd = quant->HasFollow && atEnd;
            }
            quant->Follow = follow;
            if (quant->Atom->Kind != node_kind::backref && quant->Atom->Kind != node_kind::backref_nocase) {
                fast_first(quant->Atom, nullptr, quant->AtomSet);
            }
            quant->LazySkip = quant->AtomSet;
            for (int i = 0; i < 4; ++i) {
                quant->LazySkip.Bits[i] &= ~follow.Bits[i];
            }
            if (quant->HasFollow &&
                (quant->Atom->Kind == node_kind::any || quant->Atom->Kind == node_kind::any_but_newline)) {
                quant->FollowSingle = follow.single();
            }
            const bool dot = quant->Atom->Kind == node_kind::any || quant->Atom->Kind == node_kind::any_but_newline;
            const bool backref =
                quant->Atom->Kind == node_kind::backref || quant->Atom->Kind == node_kind::backref_nocase;
            if (!dot && !backref) {
                FewOutside(quant->AtomSet, quant->GreedyStops);
                if (quant->HasFollow) {
                    FewOutside(quant->LazySkip, quant->LazyStops);
                }
            }
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            auto* quant = static_cast<group_quant_node*>(cur);
            group_node* group = quant->Group;
            analyse_group(group, true);
            bool simple = group->Kind == node_kind::group;
            byte_set members;
            for (size_t i = 0; i < group->AltCount && simple; ++i) {
                const node* alt = group->Alts[i];
                simple = (alt->Kind == node_kind::chr || alt->Kind == node_kind::chr_nocase ||
                          alt->Kind == node_kind::set || alt->Kind == node_kind::any ||
                          alt->Kind == node_kind::any_but_newline) &&
                         alt->Next->Kind == node_kind::end_group;
                simple = simple && fast_first(alt, group, members);
            }
            quant->Simple = simple;
            quant->SimpleSet = members;
            byte_set follow;
            quant->HasFollow = fast_first(quant->Next, nullptr, follow);
            quant->Follow = follow;
            quant->LazySkip = members;
            for (int i = 0; i < 4; ++i) {
                quant->LazySkip.Bits[i] &= ~follow.Bits[i];
            }
            break;
        }
        case node_kind::end_group:
            if (static_cast<end_group_node*>(cur)->Group == Owner) {
                return;
            }
            break;
        default:
            break;
        }
    }
}

// A pattern that begins with .* or .+ under SINGLELINE (possibly inside plain groups of one alternative)
// cannot match at a later start once it failed at the first: the dot reaches every position a later start
// could reach. Only when no back-reference or recursion could see where the groups began.
void compiler::analyse_first_start_only()
{
    if ((m_Out.Flags & FROM_RIGHT) || m_HasBackrefs || m_Out.HasRecursion) {
        return;
    }
    const group_node* group = m_Out.Top;
    for (;;) {
        if (group->AltCount != 1) {
            return;
        }
        const node* first = group->Alts[0];
        if (first->Kind == node_kind::group) {
            group = static_cast<const group_node*>(first);
            continue;
        }
        if (first->Kind != node_kind::max_atom && first->Kind != node_kind::min_atom) {
            return;
        }
        const auto* quant = static_cast<const atom_quant_node*>(first);
        m_Out.FirstStartOnly = quant->Atom->Kind == node_kind::any && quant->Lb <= 1 && quant->Ub == kUnbounded;
        return;
    }
}

// The last byte that every match must contain: from the nodes every match passes through (one
// alternative, mandatory repetitions, plain groups), never from inside look-arounds.
void compiler::find_required_byte(const group_node* Group)
{
    if (Group->AltCount != 1) {
        return;
    }
    for (const node* cur = Group->Alts[0]; cur->Kind != node_kind::end_group; cur = cur->Next) {
        switch (cur->Kind) {
        case node_kind::chr:
            m_Out.RequiredByte = static_cast<const char_node*>(cur)->Lower;
            break;
        case node_kind::literal: {
            const auto* literal = static_cast<const literal_node*>(cur);
            m_Out.RequiredByte = literal->Lower[literal->Length - 1];
            break;
        }
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(cur);
            if (quant->Lb > 0 && quant->Atom->Kind == node_kind::chr) {
                m_Out.RequiredByte = static_cast<const char_node*>(quant->Atom)->Lower;
            }
            break;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(cur);
            if (quant->Lb > 0 && quant->Group->Kind != node_kind::cond_backref &&
                quant->Group->Kind != node_kind::cond_assert) {
                find_required_byte(quant->Group);
            }
            break;
        }
        case node_kind::group:
        case node_kind::independent:
            find_required_byte(static_cast<const group_node*>(cur));
            break;
        default:
            break;
        }
    }
}

// A repetition of single bytes without upper bound that every match reaches outside repeated groups,
// look-arounds, atomic groups and conditionals: whether the rest of the pattern succeeds from a position
// depends on that position only, as long as no back-reference, conditional or recursion can look at the
// captures. Entered at r, such a repetition tries the rest at every position from r + Lb up to the end of
// its run of matching bytes; when all of that failed, an entry at any later position of the same run
// fails as well. The matcher remembers the failed entry per repetition for the rest of the search, which
// keeps e.g. ".*?(<img.*?/>).*?(<h1>...)" and a failing "(?:a|b)*c" from rescanning the same run.
// Entries inside one run come from the dots, which span whatever precedes them, and from the search loop
// when the pattern begins with the repetition; other repetitions ([^>]*? after "<img") start a run of their
// own almost every time, so they keep no memo and pay nothing for it.
void compiler::assign_memo_slots(const group_node* Group, bool Leading)
{
    for (size_t i = 0; i < Group->AltCount; ++i) {
        bool leading = Leading;
        for (node* cur = Group->Alts[i]; cur->Kind != node_kind::end_group; cur = cur->Next) {
            if (m_Out.MemoSlots == kMaxMemoSlots) {
                return;
            }
            switch (cur->Kind) {
            case node_kind::group:
                assign_memo_slots(static_cast<const group_node*>(cur), leading);
                break;
            case node_kind::max_atom:
            case node_kind::min_atom: {
                auto* quant = static_cast<atom_quant_node*>(cur);
                const node_kind atom = quant->Atom->Kind;
                const bool dot = atom == node_kind::any || atom == node_kind::any_but_newline;
                if (quant->Ub == kUnbounded && (dot || leading) && atom != node_kind::backref &&
                    atom != node_kind::backref_nocase) {
                    quant->MemoSlot = static_cast<int>(m_Out.MemoSlots++);
                }
                break;
            }
            case node_kind::max_group:
            case node_kind::min_group: {
                auto* quant = static_cast<group_quant_node*>(cur);
                if (quant->Ub == kUnbounded && quant->Simple && leading) {
                    quant->MemoSlot = static_cast<int>(m_Out.MemoSlots++);
                }
                break;
            }
            default:
                break;
            }
            leading = false;
        }
    }
}

// A pattern that is one case-sensitive literal (such as "<noindex>" or "^http://") needs no machine: the
// search is a scan for the literal, or one comparison at the subject begin.
void compiler::find_whole_literal()
{
    const group_node* top = m_Out.Top;
    if ((m_Out.Flags & FROM_RIGHT) || m_Out.GroupCounter != 1 || top->AltCount != 1) {
        return;
    }
    const node* cur = top->Alts[0];
    const bool anchored = cur->Kind == node_kind::assert_bos;
    if (anchored) {
        cur = cur->Next;
    }
    std::string text;
    for (; cur->Kind != node_kind::end_group; cur = cur->Next) {
        if (cur->Kind == node_kind::chr) {
            text += static_cast<char>(static_cast<const char_node*>(cur)->Lower);
        } else if (cur->Kind == node_kind::literal) {
            const auto* literal = static_cast<const literal_node*>(cur);
            text.append(reinterpret_cast<const char*>(literal->Lower), literal->Length);
        } else {
            return;
        }
    }
    if (text.empty()) {
        return;
    }
    m_Out.WholeLiteral = true;
    m_Out.LiteralAnchored = anchored;
    m_Out.Literal = text;
    if (text.size() >= 2) {
        m_Out.LiteralProbes = ChooseProbes(text);
    }
}

void compiler::finish()
{
    m_Out.End = make_simple(node_kind::end_of_pattern);
    m_Out.Top->Next = m_Out.End;
    m_Out.Groups.resize(m_Out.GroupCounter, nullptr);

    std::vector<char> done(m_Out.GroupCounter, 0);
    m_Out.Width = compute_group_width(m_Out.Top, done);
    m_Out.End->Width = width_range{0, 0};

    // Anchoring.
    const unsigned flags = m_Out.Flags;
    if (!(flags & MULTILINE) && m_Out.Top->AltCount == 1 && m_FirstIsCaret) {
        m_Out.TryAllStarts = false;
        m_Out.Flags &= ~static_cast<unsigned>(FROM_RIGHT);
    } else if (!(flags & FROM_RIGHT) && (flags & SINGLELINE) && m_Out.Top->AltCount == 1 && m_FirstIsDotRepeat) {
        m_Out.TryAllStarts = false;
    }
    build_prefix();

    std::vector<char> invisible(m_Out.GroupCounter, 0);
    for (size_t number : m_Out.Invisible) {
        invisible[number] = 1;
    }
    for (size_t i = 0; i < m_Out.GroupCounter; ++i) {
        if (!invisible[i]) {
            m_Out.VisibleToInternal.push_back(i);
        }
    }

    analyse_group(m_Out.Top, false);
    byte_set first;
    m_Out.HasTopFirst = first_of_group(m_Out.Top, first);
    m_Out.TopFirst = first;
    m_Out.TopFirstSingle = m_Out.HasTopFirst ? first.single() : -1;
    analyse_first_start_only();
    find_required_byte(m_Out.Top);
    if (!m_HasBackrefs && !m_Out.HasRecursion) {
        assign_memo_slots(m_Out.Top, true);
    }
    find_whole_literal();
}

} // namespace

const char kTooDeepMessage[] = "parentheses nested too deeply";

void* arena::allocate(size_t Size, size_t Align)
{
    size_t pad = m_Cur ? (Align - reinterpret_cast<std::uintptr_t>(m_Cur) % Align) % Align : 0;
    if (!m_Cur || pad + Size > m_Left) {
        const size_t blockSize = std::max(kBlockSize, Size + Align);
        m_Blocks.push_back(std::make_unique<unsigned char[]>(blockSize));
        m_Cur = m_Blocks.back().get();
        m_Left = blockSize;
        pad = (Align - reinterpret_cast<std::uintptr_t>(m_Cur) % Align) % Align;
    }
    void* result = m_Cur + pad;
    m_Cur += pad + Size;
    m_Left -= pad + Size;
    return result;
}

void compile_pattern(compiled_pattern& Out, const std::string& Text, unsigned Flags, unsigned Mode)
{
    Out.Text = Text;
    Out.Flags = Flags;
    Out.Mode = Mode;
    compiler(Out).run();
}

} // namespace detail
} // namespace regex
