#include "regex/Results.h"

#include "regex/Matcher.h"

namespace regex {
namespace detail {

namespace {

// The records of the visible groups, as offsets from Begin.
void Compact(const compiled_pattern& Pattern, const group_record* Internal, const char* Begin,
             std::vector<raw_record>& Out)
{
    for (size_t number : Pattern.VisibleToInternal) {
        const group_record& record = Internal[number];
        raw_record raw;
        if (record.Matched) {
            raw.Begin = static_cast<size_t>(record.Begin - Begin);
            raw.End = static_cast<size_t>(record.End - Begin);
            raw.Matched = true;
        }
        Out.push_back(raw);
    }
}

} // namespace

bool run_search(const compiled_pattern& Pattern, const char* Begin, const char* End, bool NulTerminated,
                const match_options& Options, std::vector<raw_record>& Records, bool& LimitReached)
{
    matcher engine(Pattern, Begin, End, NulTerminated, Options);
    Records.clear();
    LimitReached = false;
    if (!(Pattern.Flags & GLOBAL)) {
        const search_outcome outcome = engine.search(Begin, false);
        LimitReached = outcome == search_outcome::limit;
        if (outcome != search_outcome::matched) {
            Records.assign(Pattern.GroupCounter, raw_record());
            return false;
        }
        Compact(Pattern, engine.records(), Begin, Records);
        return true;
    }
    std::vector<raw_record> current;
    const char* from = Begin;
    bool rejectEmpty = false;
    for (;;) {
        const search_outcome outcome = engine.search(from, rejectEmpty);
        if (outcome == search_outcome::limit) {
            LimitReached = true;
            Records.assign(Pattern.GroupCounter, raw_record());
            return false;
        }
        if (outcome != search_outcome::matched) {
            break;
        }
        current.clear();
        Compact(Pattern, engine.records(), Begin, current);
        if (Pattern.Flags & COLLECT_MATCHES) {
            Records.push_back(current[0]);
        } else if (Pattern.Flags & COLLECT_GROUPS) {
            Records.insert(Records.end(), current.begin(), current.end());
        } else {
            Records = current;
        }
        const group_record& whole = engine.records()[0];
        from = whole.End;
        rejectEmpty = whole.Begin == whole.End;
    }
    return !Records.empty();
}

namespace {

// Replaces the character escapes (\a \f \n \r \t \\) by their characters.
std::string NormaliseEscapes(const std::string& Text)
{
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] != '\\' || i + 1 == Text.size()) {
            out += Text[i];
            continue;
        }
        char replacement = 0;
        switch (Text[i + 1]) {
        case 'a':
            replacement = '\a';
            break;
        case 'f':
            replacement = '\f';
            break;
        case 'n':
            replacement = '\n';
            break;
        case 'r':
            replacement = '\r';
            break;
        case 't':
            replacement = '\t';
            break;
        case '\\':
            replacement = '\\';
            break;
        default:
            break;
        }
        if (replacement) {
            out += replacement;
            ++i;
        } else {
            out += Text[i];
        }
    }
    return out;
}

} // namespace

std::vector<subst_item> parse_substitution(const std::string& Text, unsigned Flags, size_t CapturingGroups)
{
    const std::string text = (Flags & C_ESCAPES) ? NormaliseEscapes(Text) : Text;
    std::vector<subst_item> items;
    auto literal = [&](const std::string& Part) {
        if (Part.empty()) {
            return;
        }
        if (!items.empty() && items.back().Kind == subst_item::literal) {
            items.back().Text += Part;
            return;
        }
        subst_item item;
        item.Text = Part;
        items.push_back(item);
    };
    auto special = [&](subst_item::kind Kind, size_t Group = 0) {
        subst_item item;
        item.Kind = Kind;
        item.Group = Group;
        items.push_back(item);
    };
    size_t i = 0;
    while (i < text.size()) {
        const char ch = text[i];
        if (ch == '$') {
            const char next = i + 1 < text.size() ? text[i + 1] : '\0';
            if (i + 1 < text.size() && next == '&') {
                special(subst_item::group, 0);
                i += 2;
                continue;
            }
            if (i + 1 < text.size() && next == '`') {
                special(subst_item::prematch);
                i += 2;
                continue;
            }
            if (i + 1 < text.size() && next == '\'') {
                special(subst_item::postmatch);
                i += 2;
                continue;
            }
            size_t number = 0;
            size_t j = i + 1;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9' &&
                   number * 10 + static_cast<size_t>(text[j] - '0') <= CapturingGroups) {
                number = number * 10 + static_cast<size_t>(text[j] - '0');
                ++j;
            }
            if (j == i + 1 || number == 0) {
                throw bad_regexpr("invalid backreference in substitution");
            }
            special(subst_item::group, number);
            i = j;
            continue;
        }
        if (ch == '\\') {
            if (i + 1 == text.size()) {
                throw bad_regexpr("expecting escape sequence in substitution string");
            }
            const char next = text[i + 1];
            i += 2;
            switch (next) {
            case 'Q': {
                const size_t stop = text.find("\\E", i);
                literal(text.substr(i, stop == std::string::npos ? std::string::npos : stop - i));
                i = stop == std::string::npos ? text.size() : stop + 2;
                break;
            }
            case 'U':
                special(subst_item::upper_on);
                break;
            case 'L':
                special(subst_item::lower_on);
                break;
            case 'u':
                special(subst_item::upper_next);
                break;
            case 'l':
                special(subst_item::lower_next);
                break;
            case 'E':
                special(subst_item::case_off);
                break;
            default:
                literal(std::string(1, next));
                break;
            }
            continue;
        }
        literal(std::string(1, ch));
        ++i;
    }
    return items;
}

} // namespace detail
} // namespace regex
