#include "regex/Syntax.h"

#include <cstring>

namespace regex {
namespace detail {

const char* const kPosixClassNames[24] = {
    "[:alnum:]", "[:^alnum:]", "[:alpha:]", "[:^alpha:]", "[:blank:]",  "[:^blank:]",
    "[:cntrl:]", "[:^cntrl:]", "[:digit:]", "[:^digit:]", "[:graph:]",  "[:^graph:]",
    "[:lower:]", "[:^lower:]", "[:print:]", "[:^print:]", "[:punct:]",  "[:^punct:]",
    "[:space:]", "[:^space:]", "[:upper:]", "[:^upper:]", "[:xdigit:]", "[:^xdigit:]",
};

reg_token perl_reader::reg_token_at(const char*& Cur, const char* End)
{
    if (Cur == End) {
        return reg_token::end_of_pattern;
    }
    switch (*Cur) {
    case '(':
        ++Cur;
        return reg_token::group_begin;
    case ')':
        ++Cur;
        return reg_token::group_end;
    case '|':
        ++Cur;
        return reg_token::alternation;
    case '^':
        ++Cur;
        return reg_token::begin_anchor;
    case '$':
        ++Cur;
        return reg_token::end_anchor;
    case '[':
        ++Cur;
        return reg_token::set_begin;
    case '.':
        ++Cur;
        return reg_token::any;
    case '\\':
        break;
    default:
        return reg_token::ordinary;
    }
    // A backslash: a class, an assertion, a quote, or an escape the atom parser resolves.
    if (Cur + 1 == End) {
        ++Cur;
        return reg_token::plain_escape;
    }
    reg_token token = reg_token::plain_escape;
    switch (Cur[1]) {
    case 'd':
        token = reg_token::digit;
        break;
    case 'D':
        token = reg_token::not_digit;
        break;
    case 's':
        token = reg_token::space;
        break;
    case 'S':
        token = reg_token::not_space;
        break;
    case 'w':
        token = reg_token::word;
        break;
    case 'W':
        token = reg_token::not_word;
        break;
    case 'A':
        token = reg_token::subject_begin;
        break;
    case 'Z':
        token = reg_token::subject_end_or_nl;
        break;
    case 'z':
        token = reg_token::subject_end;
        break;
    case 'b':
        token = reg_token::word_boundary;
        break;
    case 'B':
        token = reg_token::not_word_boundary;
        break;
    case 'Q':
        token = reg_token::quote_begin;
        break;
    case 'E':
        token = reg_token::quote_end;
        break;
    default:
        ++Cur;
        return reg_token::plain_escape;
    }
    Cur += 2;
    return token;
}

quant_token perl_reader::quant_token_at(const char*& Cur, const char* End)
{
    if (Cur == End) {
        return quant_token::none;
    }
    quant_token greedy = quant_token::none;
    quant_token lazy = quant_token::none;
    switch (*Cur) {
    case '*':
        greedy = quant_token::star;
        lazy = quant_token::star_lazy;
        break;
    case '+':
        greedy = quant_token::plus;
        lazy = quant_token::plus_lazy;
        break;
    case '?':
        greedy = quant_token::question;
        lazy = quant_token::question_lazy;
        break;
    case '{':
        return quant_token::brace;
    default:
        return quant_token::none;
    }
    ++Cur;
    if (Cur != End && *Cur == '?') {
        ++Cur;
        return lazy;
    }
    return greedy;
}

ext_token perl_reader::ext_token_at(const char*& Cur, const char* End)
{
    if (Cur == End) {
        return ext_token::end_of_pattern;
    }
    switch (*Cur) {
    case ':':
        ++Cur;
        return ext_token::non_capturing;
    case '=':
        ++Cur;
        return ext_token::lookahead;
    case '!':
        ++Cur;
        return ext_token::neg_lookahead;
    case '<':
        if (Cur + 1 == End) {
            ++Cur;
            return ext_token::truncated_lookbehind;
        }
        if (Cur[1] == '=') {
            Cur += 2;
            return ext_token::lookbehind;
        }
        if (Cur[1] == '!') {
            Cur += 2;
            return ext_token::neg_lookbehind;
        }
        return ext_token::bad_lookbehind;
    case '>':
        ++Cur;
        return ext_token::independent;
    case '#':
        ++Cur;
        return ext_token::comment;
    case '(':
        ++Cur;
        return ext_token::conditional;
    case 'R':
        ++Cur;
        return ext_token::recurse;
    case 'i':
    case 'm':
    case 's':
    case 'x':
    case '-':
        return ext_token::flags;
    default:
        return ext_token::bad;
    }
}

bool perl_reader::counted_at(const char*& Cur, const char* End, size_t& Lb, size_t& Ub, bool& Greedy)
{
    const char* cur = Cur + 1; // past '{'
    auto readNumber = [&](size_t& Value) {
        bool any = false;
        Value = 0;
        while (cur != End && *cur >= '0' && *cur <= '9') {
            const auto digit = static_cast<size_t>(*cur - '0');
            Value = (Value > (unbounded_width - 1 - digit) / 10) ? unbounded_width - 1 : Value * 10 + digit;
            ++cur;
            any = true;
        }
        return any;
    };
    readNumber(Lb);
    if (cur == End) {
        return false;
    }
    if (*cur == '}') {
        Ub = Lb;
    } else if (*cur == ',') {
        ++cur;
        if (!readNumber(Ub)) {
            Ub = unbounded_width;
        }
        if (cur == End || *cur != '}') {
            return false;
        }
    } else {
        return false;
    }
    ++cur; // past '}'
    Greedy = true;
    if (cur != End && *cur == '?') {
        Greedy = false;
        ++cur;
    }
    Cur = cur;
    return true;
}

int perl_reader::hex_value(char Ch)
{
    if (Ch >= '0' && Ch <= '9') {
        return Ch - '0';
    }
    if (Ch >= 'a' && Ch <= 'f') {
        return Ch - 'a' + 10;
    }
    if (Ch >= 'A' && Ch <= 'F') {
        return Ch - 'A' + 10;
    }
    return -1;
}

set_token perl_reader::set_token_at(const char*& Cur, const char* End, unsigned Flags, set_token_value& Value)
{
    if (Cur == End) {
        return set_token::end_of_pattern;
    }
    const char ch = *Cur;
    switch (ch) {
    case '^':
        ++Cur;
        return set_token::negate;
    case '-':
        ++Cur;
        return set_token::range;
    case ']':
        ++Cur;
        return set_token::end;
    case '[': {
        const auto left = static_cast<size_t>(End - Cur);
        for (int i = 0; i < 24; ++i) {
            const size_t length = std::strlen(kPosixClassNames[i]);
            if (left >= length && std::memcmp(Cur, kPosixClassNames[i], length) == 0) {
                Cur += length;
                Value.ClassIndex = i;
                return set_token::posix_class;
            }
        }
        ++Cur;
        Value.Char = '[';
        return set_token::character;
    }
    case '\\':
        break;
    default:
        ++Cur;
        Value.Char = static_cast<unsigned char>(ch);
        return set_token::character;
    }
    if (Cur + 1 == End) {
        return set_token::end_of_pattern;
    }
    const char escaped = Cur[1];
    Cur += 2;
    unsigned value = static_cast<unsigned char>(escaped);
    switch (escaped) {
    case 'd':
    case 'D':
    case 's':
    case 'S':
    case 'w':
    case 'W':
        Value.Letter = escaped;
        return set_token::class_escape;
    case 'b':
        value = 8;
        break;
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
        value = static_cast<unsigned>(escaped - '0');
        while (Cur != End && *Cur >= '0' && *Cur <= '7') {
            value = (value * 8 + static_cast<unsigned>(*Cur - '0')) & 0xFF;
            ++Cur;
        }
        break;
    case 'x':
        value = 0;
        while (Cur != End && hex_value(*Cur) >= 0) {
            value = (value * 16 + static_cast<unsigned>(hex_value(*Cur))) & 0xFF;
            ++Cur;
        }
        break;
    case 'c': {
        if (Cur == End) {
            return set_token::end_of_pattern;
        }
        unsigned control = static_cast<unsigned char>(*Cur++);
        if (control >= 'a' && control <= 'z') {
            control -= 'a' - 'A';
        }
        value = control ^ 0x40;
        break;
    }
    case 'e':
        value = 27;
        break;
    default:
        if (Flags & kSyntaxCEscapes) {
            switch (escaped) {
            case 'a':
                value = 7;
                break;
            case 'f':
                value = 12;
                break;
            case 'n':
                value = 10;
                break;
            case 'r':
                value = 13;
                break;
            case 't':
                value = 9;
                break;
            case 'v':
                value = 11;
                break;
            default:
                break;
            }
        }
        break;
    }
    Value.Char = static_cast<unsigned char>(value);
    return set_token::character;
}

} // namespace detail
} // namespace regex
