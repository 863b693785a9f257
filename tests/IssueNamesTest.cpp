// Issue and page names: made from what a contents page says, and read back to exactly what made them.
#include "IssueNames.h"

#include <gtest/gtest.h>

#include <string>

#include "support/AplFailure.h"

using TestSupport::FailureOf;

TEST(MonthCode, RecognisesMonthWordsInAnyCase)
{
    const struct {
        const char* Word;
        const char* Code;
    } cases[] = {
        {"январь", "01"},
        {"Февраль", "02"},
        {"МАРТ", "03"},
        {"апрель", "04"},
        {"Май", "05"},
        {"июнь", "06"},
        {"ИюЛь", "07"},
        {"август", "08"},
        {"Сентябрь", "09"},
        {"октябрь", "10"},
        {"ноябрь", "11"},
        {"ДЕКАБРЬ", "12"},
        {"янв", "01"},
        {"ФЕВ", "02"},
        {"Мар", "03"},
        {"апр", "04"},
        {"МАЙ", "05"},
        {"июн", "06"},
        {"июл", "07"},
        {"Авг", "08"},
        {"сен", "09"},
        {"ОКТ", "10"},
        {"ноя", "11"},
        {"Дек", "12"},
        {"Судьбы", "lis"},
        {"ПУТЕВОДИТЕЛЬ", "pvl"},
        // Not in the tables: another grammatical case, a season, a blank too many, an empty word,
        // an English name, a prefix of a month.
        {"января", "unkn"},
        {"весна", "unkn"},
        {"май ", "unkn"},
        {"", "unkn"},
        {"May", "unkn"},
        {"ию", "unkn"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MonthCode(c.Word), c.Code) << c.Word;
}

TEST(MakeIssueName, JoinsYearAndMonthCode)
{
    const struct {
        const char* Year;
        const char* Month;
        const char* Name;
    } cases[] = {
        {"2007", "Май", "2007_05"},     {"2008", "путеводитель", "2008_pvl"},
        {"2007", "весна", "2007_unkn"}, {" 2007", "декабрь", "2007_12"},
        {"\t 2007", "дек", "2007_12"},  {"+2007", "янв", "2007_01"},
        {"999", "июль", "0999_07"},     {"7", "июль", "0007_07"},
        {"0", "июль", "0000_07"},       {"02007", "июль", "2007_07"},
        {"12345", "июль", "12345_07"},  {"-5", "июль", "-0005_07"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeIssueName(c.Year, c.Month), c.Name) << '"' << c.Year << '"';
}

TEST(MakeIssueName, RejectsYearTextsThatAreNotWholeNumbers)
{
    const char* const invalid[] = {
        "",
        " ",
        "+",
        "-",
        "2007 ",
        "2007\t",
        "2007г.",
        "год",
        "20 07",
        "+-2007",
        "\n2007",
        "0x7D7",
        "99999999999999999999",
        "2147483648",
    };
    for (const char* year : invalid) {
        EXPECT_EQ(FailureOf([&] { MakeIssueName(year, "май"); }), std::string("Неизвестный год: ") + year)
            << '"' << year << '"';
    }
    EXPECT_EQ(MakeIssueName("2147483647", "май"), "2147483647_05");
    EXPECT_EQ(MakeIssueName("-2147483648", "май"), "-2147483648_05");
}

TEST(ReadIssueName, EveryNameReadsBackToWhatMadeIt)
{
    const struct {
        const char* Year;
        const char* Month;
        int ReadYear;
        const char* Code;
    } issues[] = {
        {"2007", "Май", 2007, "05"},     {"2008", "путеводитель", 2008, "pvl"},
        {"2009", "судьбы", 2009, "lis"}, {"2007", "весна", 2007, "unkn"},
        {"999", "дек", 999, "12"},       {"12345", "январь", 12345, "01"},
        {"-5", "июль", -5, "07"},        {"0", "октябрь", 0, "10"},
        {" +02010", "ноя", 2010, "11"},  {"2147483647", "май", 2147483647, "05"},
    };
    for (const auto& i : issues) {
        const std::string issue = MakeIssueName(i.Year, i.Month);
        for (const size_t page :
             {std::string::npos, size_t{0}, size_t{1}, size_t{9}, size_t{10}, size_t{100}, size_t{12345}}) {
            const std::string name = page == std::string::npos ? issue : MakePageName(issue, page);
            SCOPED_TRACE(name);
            const std::optional<TIssueName> read = ReadIssueName(name);
            ASSERT_TRUE(read.has_value());
            EXPECT_EQ(read->Year, i.ReadYear);
            EXPECT_EQ(read->Code, i.Code);
            EXPECT_EQ(read->Page, page);
            EXPECT_EQ(read->Issue(), issue);
            EXPECT_EQ(read->Month(), std::string(i.Code).size() == 2 ? std::stoi(i.Code) : 0);
        }
    }
    // What no call makes reads back to nothing.
    for (const char* other :
         {"",         "2007",      "2007_",       "2007_5",         "2007_13",       "2007_00",
          "2007_may", "207_05",    "02007_05",    "+2007_05",       " 2007_05",      "-0000_05",
          "2007_05_", "2007_05_1", "2007_05_001", "2007_05_03.htm", "2007_05_03_04", "2147483648_05",
          "index",    "2007-05"}) {
        SCOPED_TRACE(other);
        EXPECT_FALSE(ReadIssueName(other).has_value());
    }
}
