// The names of a saved issue and of its pages: made from what the contents page says (the year and the
// month's word), and read back from a directory's or a file's name. Each name reads back to what made it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

/// The month code of a month word in windows-1251, any case: "01".."12" for a full month name or its
/// three-letter abbreviation in the nominative, "lis" and "pvl" for the two special issues, "unkn" for
/// any other word.
std::string MonthCode(const std::string& Word);

/// The issue name: the year written with at least four digits, "_", and MonthCode(MonthWord).
/// YearText may have leading blanks and tabs and one sign; its digits must run to its end.
/// Raises BrintLib::TAplThrowException "Неизвестный год: " + YearText when it is not such a number
/// (or does not fit an int).
std::string MakeIssueName(const std::string& YearText, const std::string& MonthWord);

/// A page's name: the issue name, "_" and the page's index with at least two digits (2007_05_00 for the
/// contents page, 2007_05_01 and on for the articles, 2007_05_100 for the hundredth).
std::string MakePageName(const std::string& IssueName, size_t Index);

/// What an issue's or a page's name tells.
struct TIssueName {
    int Year = 0;
    std::string Code;                ///< the month code: "01".."12", "lis", "pvl" or "unkn"
    size_t Page = std::string::npos; ///< the page's index; npos for the issue's own name
    /// The issue's name ("2007_05").
    std::string Issue() const;
    /// The month, 1 to 12; 0 for the special codes.
    int Month() const;
};

/// Reads back a name that MakeIssueName or MakePageName made (without the page's extension); nullopt for
/// any other text, so that a name reads back only to what made it.
std::optional<TIssueName> ReadIssueName(std::string_view Name);
