// Issue naming, the navigation bar with its footer, plain text of HTML fragments, and the localisation of
// a page's pictures.
#include "Generic_Parser.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "libs/Exceptions.h"
#include "libs/strings.h"
#include "support/ProcessRunner.h"

namespace {

const std::string kPagesDir = SKERROW_TEST_DATA_DIR "/pages/";

std::string ReadPage(const std::string& Name)
{
    const std::string text = TestSupport::ReadFile(kPagesDir + Name);
    EXPECT_FALSE(text.empty()) << "missing test data " << Name;
    return text;
}

/// The message of the application exception that Call raises; empty when it raises none.
template <typename TCall>
std::string AplMessage(TCall Call)
{
    try {
        Call();
    } catch (const BrintLib::TAplThrowException& e) {
        return e.what();
    }
    return "";
}

std::tm MakeTime(int Year, int Month, int Day, int Hour, int Minute, int Second, int WeekDay)
{
    std::tm time{};
    time.tm_year = Year - 1900;
    time.tm_mon = Month - 1;
    time.tm_mday = Day;
    time.tm_hour = Hour;
    time.tm_min = Minute;
    time.tm_sec = Second;
    time.tm_wday = WeekDay;
    return time;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------
// Issue naming

TEST(MonthCode, RecognisesMonthWordsInAnyCase)
{
    const struct {
        const char* Word;
        const char* Code;
    } cases[] = {
        {"январь", "01"}, {"Февраль", "02"}, {"МАРТ", "03"}, {"апрель", "04"}, {"Май", "05"},
        {"июнь", "06"}, {"ИюЛь", "07"}, {"август", "08"}, {"Сентябрь", "09"}, {"октябрь", "10"},
        {"ноябрь", "11"}, {"ДЕКАБРЬ", "12"},
        {"янв", "01"}, {"ФЕВ", "02"}, {"Мар", "03"}, {"апр", "04"}, {"МАЙ", "05"}, {"июн", "06"},
        {"июл", "07"}, {"Авг", "08"}, {"сен", "09"}, {"ОКТ", "10"}, {"ноя", "11"}, {"Дек", "12"},
        {"Судьбы", "lis"}, {"ПУТЕВОДИТЕЛЬ", "pvl"},
        // Not in the tables: another grammatical case, a season, a blank too many, an empty word,
        // an English name, a prefix of a month.
        {"января", "unkn"}, {"весна", "unkn"}, {"май ", "unkn"}, {"", "unkn"}, {"May", "unkn"},
        {"ию", "unkn"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MonthCode(c.Word), c.Code) << c.Word;
}

TEST(LowerCaseCp1251, LowersEveryCapitalOfTheCodePageAndNothingElse)
{
    const std::string capitals = "ABCDEFGHIJKLMNOPQRSTUVWXYZЂЃЉЊЌЋЏЎЈҐЁЄЇІЅАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";
    const std::string smalls = "abcdefghijklmnopqrstuvwxyzђѓљњќћџўјґёєїіѕабвгдежзийклмнопрстуфхцчшщъыьэюя";
    ASSERT_EQ(capitals.size(), 26u + 15u + 32u);
    ASSERT_EQ(smalls.size(), capitals.size());
    EXPECT_EQ(LowerCaseCp1251(capitals), smalls);

    std::string others;
    for (int byte = 0; byte < 256; ++byte) {
        if (capitals.find(static_cast<char>(byte)) == std::string::npos)
            others += static_cast<char>(byte);
    }
    EXPECT_EQ(LowerCaseCp1251(others), others);
}

TEST(MakeIssueName, JoinsYearAndMonthCode)
{
    const struct {
        const char* Year;
        const char* Month;
        const char* Name;
    } cases[] = {
        {"2007", "Май", "2007_05"},
        {"2008", "путеводитель", "2008_pvl"},
        {"2007", "весна", "2007_unkn"},
        {" 2007", "декабрь", "2007_12"},
        {"\t 2007", "дек", "2007_12"},
        {"+2007", "янв", "2007_01"},
        {"999", "июль", "0999_07"},
        {"7", "июль", "0007_07"},
        {"0", "июль", "0000_07"},
        {"02007", "июль", "2007_07"},
        {"12345", "июль", "12345_07"},
        {"-5", "июль", "-0005_07"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeIssueName(c.Year, c.Month), c.Name) << '"' << c.Year << '"';
}

TEST(MakeIssueName, RejectsYearTextsThatAreNotWholeNumbers)
{
    const char* const invalid[] = {
        "", " ", "+", "-", "2007 ", "2007\t", "2007г.", "год", "20 07", "+-2007", "\n2007", "0x7D7",
        "99999999999999999999", "2147483648",
    };
    for (const char* year : invalid) {
        EXPECT_EQ(AplMessage([&] { MakeIssueName(year, "май"); }), std::string("Неизвестный год: ") + year)
            << '"' << year << '"';
    }
    EXPECT_EQ(MakeIssueName("2147483647", "май"), "2147483647_05");
    EXPECT_EQ(MakeIssueName("-2147483648", "май"), "-2147483648_05");
}

// ---------------------------------------------------------------------------------------------------------
// Navigation bar and footer

TEST(ClassicTimeText, MatchesTheCLibraryFormWithZeroPaddedDay)
{
    EXPECT_EQ(ClassicTimeText(MakeTime(2026, 12, 6, 17, 10, 10, 0)), "Sun Dec 06 17:10:10 2026\n");
    EXPECT_EQ(ClassicTimeText(MakeTime(2000, 1, 1, 0, 0, 0, 6)), "Sat Jan 01 00:00:00 2000\n");

    // Against strftime of the "C" locale over a spread of instants: every weekday, month and hour.
    for (std::time_t t = 0; t < 4'000'000'000; t += 9'876'543) {
        std::tm utc{};
        ASSERT_NE(gmtime_r(&t, &utc), nullptr);
        char expected[64];
        ASSERT_NE(std::strftime(expected, sizeof expected, "%a %b %d %H:%M:%S %Y\n", &utc), 0u);
        EXPECT_EQ(ClassicTimeText(utc), expected);
    }
}

class NavigationBar : public ::testing::Test {
protected:
    NavigationBar()
    {
        // Entry 3 is never set: its neighbours link to "error_page".
        for (size_t index : {0u, 1u, 2u, 4u})
            StoreAt(m_Pages, index, "2007_05_0" + std::to_string(index) + ".htm");
    }

    TPageList m_Pages;
    const std::tm m_Time = MakeTime(2026, 12, 6, 17, 10, 10, 0);
};

TEST_F(NavigationBar, IsByteForByteTheExpectedBlock)
{
    EXPECT_EQ(MakeNavigationBar(m_Pages, 0, m_Time), ReadPage("navbar_contents.htm"));
    EXPECT_EQ(MakeNavigationBar(m_Pages, 1, m_Time), ReadPage("navbar_first_article.htm"));
    EXPECT_EQ(MakeNavigationBar(m_Pages, 2, m_Time), ReadPage("navbar_before_gap.htm"));
    EXPECT_EQ(MakeNavigationBar(m_Pages, 4, m_Time), ReadPage("navbar_last_article.htm"));
    const TPageList contentsOnly{"2007_05_00.htm"};
    EXPECT_EQ(MakeNavigationBar(contentsOnly, 0, m_Time), ReadPage("navbar_contents_alone.htm"));
}

TEST_F(NavigationBar, IndexOutsideTheListRaises)
{
    EXPECT_EQ(AplMessage([&] { MakeNavigationBar(m_Pages, 5, m_Time); }), "Problem with index: 5");
    EXPECT_EQ(AplMessage([&] { MakeNavigationBar(TPageList{}, 0, m_Time); }), "Problem with index: 0");
    EXPECT_EQ(AplMessage([&] { MakeNavigationBar(m_Pages, 4, m_Time); }), "");
}

TEST_F(NavigationBar, TakesTheTimeFromTheLocalClock)
{
    const auto localNow = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local;
    };
    const std::tm before = localNow();
    const std::string bar = MakeNavigationBar(m_Pages, 2);
    const std::tm after = localNow();
    EXPECT_TRUE(bar == MakeNavigationBar(m_Pages, 2, before) || bar == MakeNavigationBar(m_Pages, 2, after))
        << bar;
}

TEST_F(NavigationBar, SharedListIsTheSameList)
{
    const TSharedPageList shared = std::make_shared<TPageList>(m_Pages);
    const TSharedPageList articleHolder = shared;
    EXPECT_EQ(shared.use_count(), 2);
    StoreAt(*shared, 3, "2007_05_03.htm");
    const std::string bar = MakeNavigationBar(articleHolder, 2);
    EXPECT_NE(bar.find("<a href=\"2007_05_03.htm\">[&gt;&gt;&gt;&gt;]</a>"), std::string::npos) << bar;
}

// ---------------------------------------------------------------------------------------------------------
// Plain text of HTML fragments

TEST(StripTags, DropsEveryTagAndKeepsTheRest)
{
    const struct {
        std::string Text;
        std::string Expected;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"<b>bold</b> and <i>italic</i>", "bold and italic"},
        {"&nbsp;a &amp; b\n\t c", "&nbsp;a &amp; b\n\t c"},
        {"<a href=\"x\">Текст статьи</a>", "Текст статьи"},
        {"before <unclosed tag and more", "before "},
        {"a > b <br> c", "a > b  c"},
        {"<<b>>x", ">x"},
        {"<>", ""},
        {"<div\nclass=x>multi\nline</div>", "multi\nline"},
    };
    for (const auto& c : cases) {
        std::string out = "kept:";
        StripTags(out, c.Text.begin(), c.Text.end());
        EXPECT_EQ(out, "kept:" + c.Expected) << c.Text;
    }
}

TEST(StripTags, StaysWithinTheRange)
{
    // The range ends inside a tag whose '>' lies beyond it: the rest of the range goes.
    const std::string text = "<p>one <b>two</b> three";
    std::string out;
    StripTags(out, text.begin() + 3, text.begin() + 9);
    EXPECT_EQ(out, "one ");
    out.clear();
    StripTags(out, text.begin() + 3, text.begin() + 6);
    EXPECT_EQ(out, "one");
}
