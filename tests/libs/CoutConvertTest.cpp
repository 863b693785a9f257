// Console conversion: windows-1251 text reaches the terminal in the user's encoding, exactly once.
#include "libs/CoutConvert.h"

#include <gtest/gtest.h>

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
