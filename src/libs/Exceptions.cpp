#include "libs/Exceptions.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"

namespace BrintLib {

std::mutex g_ReportLock;

TAplThrowException::TAplThrowException(const char* Message, const char* File, int Line)
    : m_Message(Message), m_File(File), m_Line(Line)
{
}

TAplThrowException::TAplThrowException(std::string Message, const char* File, int Line)
    : m_Message(std::move(Message)), m_File(File), m_Line(Line)
{
}

void PrintTimeStamp()
{
    WriteConverted(std::cout, GetTimeString()) << ' ';
}

void ReportAplException(const char* File, int Line, const char* Message)
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp();
    WriteConverted(std::cout, "BrintLib::TAplThrowException ");
    WriteConverted(std::cout, File);
    WriteConverted(std::cout, ", ") << Line;
    WriteConverted(std::cout, ":\n\t");
    WriteConverted(std::cout, Message);
    WriteConverted(std::cout, "\n") << std::endl;
}

void ReportStdException(const char* What)
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp();
    WriteConverted(std::cout, "std::exception: ");
    WriteConverted(std::cout, What) << std::endl;
}

void ReportUnknownException()
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp();
    WriteConverted(std::cout, "<UNKNOWN_EXCEPTION>") << std::endl;
}

void RaiseSystemCallError(const char* Condition, const char* File, int Line)
{
    static const char kRule[] =
        "-------------------------------------------------------------------------------\n";
    std::ostringstream block;
    block << kRule << "   APL_ERROR( " << Condition << " )\n"
          << "   " << File << ", " << Line << std::endl
          << kRule;
    WriteConverted(std::cout, block.str()) << std::flush;
    throw TSilentException();
}

void FatalCheckFailed(const char* Condition, const char* File, int Line) noexcept
{
    std::fflush(stdout); // the lines shown so far, the last of them the one that led here
    std::fprintf(stderr, "Fatal check failed: %s, file %s, line %d\n", Condition, File, Line);
    std::fflush(stderr);
    std::abort();
}

} // namespace BrintLib
