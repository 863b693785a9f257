// Failure reports: formats on the console, the report block of failed system calls, fatal checks.
#include "libs/Exceptions.h"

#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <string>

#include "support/CaptureCout.h"

using TestSupport::TCaptureCout;

namespace {

const char kTimePattern[] = "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] ";

} // namespace

TEST(Reports, ApplicationFailureReportShowsTimeLocationAndEveryLineOfTheMessage)
{
    TCaptureCout capture;
    try {
        APL_THROW("Неизвестный URL: "
                  << "x\nsecond line " << 42);
    } catch (const BrintLib::TAplThrowException& e) {
        EXPECT_STREQ(e.GetFile(), "tests/libs/ExceptionsTest.cpp");
        BrintLib::ReportAplException(e.GetFile(), e.GetLine(), e.what());
        const std::string expected =
            std::string(kTimePattern) + "BrintLib::TAplThrowException tests/libs/ExceptionsTest.cpp, " +
            std::to_string(e.GetLine()) + ":\n\t" + u8"Неизвестный URL: " + "x\nsecond line 42\n\n";
        EXPECT_TRUE(std::regex_match(capture.Text(), std::regex(expected))) << capture.Text();
    }
}

TEST(Reports, StdAndUnknownReports)
{
    TCaptureCout capture;
    BrintLib::ReportStdException("bad_alloc");
    BrintLib::ReportUnknownException();
    const std::string expected =
        std::string(kTimePattern) + "std::exception: bad_alloc\n" + kTimePattern + "<UNKNOWN_EXCEPTION>\n";
    EXPECT_TRUE(std::regex_match(capture.Text(), std::regex(expected))) << capture.Text();
}

TEST(Reports, MessageKeepsWindows1251BytesUntilPrinted)
{
    try {
        APL_THROW("Файл "
                  << "a.htm"
                  << " уже существует");
    } catch (const BrintLib::TAplThrowException& e) {
        // windows-1251: 'Ф' is 0xD4; in UTF-8 it would be 0xD0 0xA4.
        EXPECT_EQ(static_cast<unsigned char>(e.what()[0]), 0xD4);
        EXPECT_EQ(std::string(e.what()).size(), std::string("Файл a.htm уже существует").size());
    }
}

TEST(Reports, AplErrorPrintsItsBlockOnStandardErrorAndRaisesSilently)
{
    TCaptureCout capture(std::cerr);
    const int result = -1;
    int line = 0;
    try {
        line = __LINE__ + 1;
        APL_ERROR(result == 0);
        FAIL() << "APL_ERROR did not raise";
    } catch (const BrintLib::TSilentException& e) {
        EXPECT_STREQ(e.what(), "SilentException");
    }
    const std::string rule(79, '-');
    EXPECT_EQ(capture.Text(), rule + "\n   APL_ERROR( result == 0 )\n   tests/libs/ExceptionsTest.cpp, " +
                                  std::to_string(line) + "\n" + rule + "\n");
}

TEST(FatalCheckDeathTest, PrintsConditionFileAndLineAndAborts)
{
    const int* nothing = nullptr;
    EXPECT_DEATH(FATAL_CHECK(BrintLib::TestPtr__(nothing)),
                 "BrintLib::TestPtr__\\(nothing\\).*tests/libs/ExceptionsTest.cpp.*line [0-9]+");
}
