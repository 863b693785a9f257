#include "IssueNames.h"

#include <climits>
#include <cstdio>

#include "Generic_Parser.h"
#include "libs/Exceptions.h"

namespace {

/// The month words, full names then abbreviations; word k stands for month k % 12 + 1.
const char* const kMonthWords[24] = {
    "январь",   "февраль", "март",   "апрель",  "май", "июнь", "июль", "август",
    "сентябрь", "октябрь", "ноябрь", "декабрь", "янв", "фев",  "мар",  "апр",
    "май",      "июн",     "июл",    "авг",     "сен", "окт",  "ноя",  "дек",
};

struct TSpecialIssue {
    const char* Word;
    const char* Code;
};

/// Issues named by a word instead of a month; consulted only when no month word matches.
const TSpecialIssue kSpecialIssues[2] = {{"судьбы", "lis"}, {"путеводитель", "pvl"}};

const char kUnknownMonth[] = "unkn";

/// Reads a whole year text: blanks and tabs, an optional sign, then decimal digits up to the very end.
bool ParseYear(const std::string& Text, long long& Year)
{
    size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) {
        negative = Text[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    long long value = 0;
    for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9'; ++i) {
        value = value * 10 + (Text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (i == firstDigit || i != Text.size())
        return false;
    Year = negative ? -value : value;
    return Year >= INT_MIN && Year <= INT_MAX;
}

/// The year as MakeIssueName writes it: at least four digits, zero-padded, and a '-' before a negative one.
std::string WriteYear(long long Year)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%s%04lld", Year < 0 ? "-" : "", Year < 0 ? -Year : Year);
    return digits;
}

bool IsDigits(std::string_view Text)
{
    return !Text.empty() && Text.find_first_not_of("0123456789") == std::string_view::npos;
}

/// Whether Code is a month code that MonthCode gives.
bool IsMonthCode(std::string_view Code)
{
    if (Code == kUnknownMonth)
        return true;
    for (const TSpecialIssue& special : kSpecialIssues)
        if (Code == special.Code)
            return true;
    return Code.size() == 2 && IsDigits(Code) && Code >= "01" && Code <= "12";
}

} // namespace

std::string MonthCode(const std::string& Word)
{
    const std::string lower = LowerCaseCp1251(Word);

    for (size_t k = 0; k < 24; ++k) {
        if (lower == kMonthWords[k]) {
            return AtLeastTwoDigits(k % 12 + 1);
        }
    }
    for (const TSpecialIssue& special : kSpecialIssues) {
        if (lower == special.Word)
            return special.Code;
    }
    return kUnknownMonth;
}

std::string MakeIssueName(const std::string& YearText, const std::string& MonthWord)
{
    long long year = 0;
    if (!ParseYear(YearText, year))
        APL_THROW("Неизвестный год: " << YearText);
    return WriteYear(year) + "_" + MonthCode(MonthWord);
}

std::string MakePageName(const std::string& IssueName, size_t Index)
{
    return IssueName + "_" + AtLeastTwoDigits(Index);
}

std::string TIssueName::Issue() const
{
    return WriteYear(Year) + "_" + Code;
}

int TIssueName::Month() const
{
    return Code.size() == 2 && IsDigits(Code) ? std::stoi(Code) : 0;
}

std::optional<TIssueName> ReadIssueName(std::string_view Name)
{
    const size_t first = Name.find('_');
    if (first == std::string_view::npos)
        return std::nullopt;
    const std::string_view year = Name.substr(0, first);
    const size_t second = Name.find('_', first + 1);
    const std::string_view code = Name.substr(first + 1, second - first - 1);
    long long value = 0;
    const std::string yearText(year);
    // Only the year's own form: no blank, no '+', digits as YearText writes them.
    if (!IsDigits(year.substr(year.substr(0, 1) == "-" ? 1 : 0)) || !ParseYear(yearText, value) ||
        WriteYear(value) != yearText || !IsMonthCode(code))
        return std::nullopt;
    TIssueName name;
    name.Year = static_cast<int>(value);
    name.Code = std::string(code);
    if (second == std::string_view::npos)
        return name;
    const std::string_view page = Name.substr(second + 1);
    if (!IsDigits(page) || page.size() > 9 || (page.size() > 2 && page[0] == '0') || page.size() < 2)
        return std::nullopt;
    name.Page = std::stoul(std::string(page));
    return name;
}
