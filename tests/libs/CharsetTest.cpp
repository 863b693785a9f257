// Character sets: windows-1251 text reaches the terminal in the user's encoding, exactly once, and a page
// in any character set is made the windows-1251 page its site would serve.
#include "libs/Charset.h"
#include "libs/CoutConvert.h"
#include "libs/FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "support/CaptureCout.h"

using TestSupport::TCaptureCout;

// The test programs run with the "C" locale or a UTF-8 one; both mean UTF-8 on the console.
TEST(CoutConvert, UserEncodingIsUtf8ForPlainLocales)
{
    EXPECT_EQ(BrintLib::UserEncoding(), "UTF-8");
}

TEST(CoutConvert, ComposedMessageIsConvertedOnceWhenPrinted)
{
    std::ostringstream composed;
    BrintLib::WriteConverted(composed, "Ошибка при записи ") << 7;
    EXPECT_EQ(composed.str(), "Ошибка при записи 7"); // windows-1251 bytes, unchanged

    TCaptureCout capture;
    BrintLib::WriteConverted(std::cout, composed.str());
    EXPECT_EQ(capture.Text(), u8"Ошибка при записи 7");
}

TEST(CoutConvert, EveryByteConvertsAndUndefinedByteBecomesQuestionMark)
{
    TCaptureCout capture;
    BrintLib::WriteConverted(std::cout, std::string("\xA8\xB8\x98\x88\0z", 6));
    BrintLib::WriteConverted(std::cout, "");
    EXPECT_EQ(capture.Text(), std::string(u8"Ёё?€") + std::string("\0z", 2));
}

TEST(CoutConvert, ControlBytesAreMaskedButTabAndLineFeedStay)
{
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
        all.push_back(static_cast<char>(byte));
    const std::string masked = BrintLib::MaskControlBytes(all);
    ASSERT_EQ(masked.size(), all.size());
    for (int byte = 0; byte < 256; ++byte) {
        const bool control = (byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F;
        EXPECT_EQ(masked[static_cast<size_t>(byte)], control ? '?' : all[static_cast<size_t>(byte)]) << byte;
    }
    EXPECT_EQ(BrintLib::MaskControlBytes("img/\x1b]0;title\x07\x1b[31m.jpg\r\n"),
              "img/?]0;title??[31m.jpg?\n");
}

TEST(CoutConvert, ArgumentsConvertBackAndUnrepresentableTextIsRefused)
{
    std::string converted;
    ASSERT_TRUE(BrintLib::UserToCp1251(u8"Журнал 2007", converted));
    EXPECT_EQ(converted, "Журнал 2007");
    EXPECT_FALSE(BrintLib::UserToCp1251(u8"журнал \u4e2d", converted));
    EXPECT_FALSE(BrintLib::UserToCp1251("\xff\xfe", converted)); // not UTF-8 at all
}

// A path given by the system is kept as its bytes inside the program's text: the system and the terminal
// get it back as it came, composed into a message or joined by names below it; errors.txt (windows-1251)
// gets what windows-1251 can show of it. Nothing of it reaches the terminal as a control.
TEST(CoutConvert, PathKeepsTheSystemsBytesAndIsConvertedNeverTwice)
{
    const struct {
        std::string Path;
        std::string Shown;  ///< on the terminal
        std::string Cp1251; ///< in errors.txt
    } rows[] = {
        {"save/mag", "save/mag", "save/mag"},
        {u8"josé/журнал", u8"josé/журнал", "jos?/журнал"},
        {u8"日本/mag", u8"日本/mag", "?\?/mag"},
        {"\xFF\xFE/not-utf8", "\xFF\xFE/not-utf8", "?\?/not-utf8"},
        {"a\x0E\x0F\x10z/\x0E", "a??????z/??", "a??????z/??"}, // the marks themselves
        {"\xC2\x9B[J/\x1B", "??[J/?", "??[J/?"},               // C1 and C0 controls
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Shown);
        const std::string text = BrintLib::SystemPathToText(row.Path);
        EXPECT_EQ(std::count(text.begin(), text.end(), '/'),
                  std::count(row.Path.begin(), row.Path.end(), '/'));
        const std::string file = text + "/2007_05/2007_05_00.htm";
        EXPECT_EQ(BrintLib::NativePath(file), row.Path + "/2007_05/2007_05_00.htm");
        // As the error log takes an entry: masked, then shown and written.
        const std::string entry = BrintLib::MaskControlBytes("Файл " + file + " уже существует");
        EXPECT_EQ(BrintLib::PathsToCp1251(entry),
                  "Файл " + row.Cp1251 + "/2007_05/2007_05_00.htm уже существует");
        TCaptureCout capture;
        BrintLib::WriteConverted(std::cout, entry);
        EXPECT_EQ(capture.Text(), u8"Файл " + row.Shown + u8"/2007_05/2007_05_00.htm уже существует");
    }
}

TEST(Charset, PageIsMadeWindows1251AsItsSiteWouldServeIt)
{
    // "Ёж €→" in windows-1251, the arrow (which it cannot hold) as a reference.
    const std::string cp1251 = "\xA8\xE6 \x88&#8594;";
    const std::string utf8 = u8"Ёж €→";
    const std::string metaCp1251 = "<meta charset=\"windows-1251\">";
    const struct {
        const char* Case;
        std::string Page;
        const char* ContentType;
        std::string Expected;
    } rows[] = {
        {"windows-1251 named", cp1251, "text/html; charset=windows-1251", cp1251},
        {"windows-1251 under another name", cp1251, "text/html; Charset=\"CP1251\"", cp1251},
        {"no charset named: unchanged", cp1251 + "\xFF\x98", "text/html", cp1251 + "\xFF\x98"},
        {"a charset iconv does not know: unchanged", cp1251, "text/html; charset=no-such-set", cp1251},
        {"UTF-8 by the header", utf8, "text/html; charset=utf-8", cp1251},
        {"UTF-8 by the header, quoted, with more parameters", utf8, "text/html;charset=\"UTF-8\"; q=1",
         cp1251},
        {"UTF-8 by the mark, over the header", "\xEF\xBB\xBF" + metaCp1251 + utf8,
         "text/html; charset=windows-1251", metaCp1251 + cp1251},
        {"UTF-8 by <meta charset>, its value made windows-1251", "<meta charset=\"utf-8\">" + utf8, "",
         metaCp1251 + cp1251},
        {"UTF-8 by <meta http-equiv>, its value made windows-1251",
         "<META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=UTF-8\">" + utf8, "text/html",
         "<META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=windows-1251\">" + cp1251},
        {"the header outweighs <meta>", "<meta charset=utf-8>" + cp1251, "text/html; charset=windows-1251",
         "<meta charset=utf-8>" + cp1251},
        {"<meta> beyond the first 1024 bytes does not count",
         std::string(1024, ' ') + "<meta charset=utf-8>" + utf8, "",
         std::string(1024, ' ') + "<meta charset=utf-8>" + utf8},
        {"every declaration, before byte 1024 or after it, made windows-1251",
         "<META CHARSET=utf-8>" + std::string(1024, ' ') +
             "<meta http-equiv=content-type content='text/html; "
             "charset=UTF-8'>" +
             utf8 + "<meta charset=utf-8",
         "text/html; charset=utf-8",
         "<META CHARSET=windows-1251>" + std::string(1024, ' ') +
             "<meta http-equiv=content-type content='text/html; charset=windows-1251'>" + cp1251 +
             "<meta charset=windows-1251"},
        {"a header charset iconv does not know falls back to <meta>", "<meta charset=\"utf-8\">" + utf8,
         "text/html; charset=no-such-set", metaCp1251 + cp1251},
        {"UTF-16 by its mark", std::string("\xFF\xFE\x01\x04\x36\x04", 6), "", "\xA8\xE6"},
        {"KOI8-R by the header", "\xB3\xD6", "text/html; charset=koi8-r", "\xA8\xE6"},
        {"malformed UTF-8 becomes U+FFFD", "a\xC3(\xF0\x9F\x98\x80", "text/html; charset=utf-8",
         "a&#65533;(&#128512;"},
        {"cut off at the end", "a\xD0", "text/html; charset=utf-8", "a&#65533;"},
    };
    for (const auto& row : rows) {
        std::string page = row.Page;
        BrintLib::PageToCp1251(page, row.ContentType);
        EXPECT_EQ(page, row.Expected) << row.Case;
    }
}
