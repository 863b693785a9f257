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

void PrintTimeStamp(std::ostream& Stream)
{
    WriteConverted(Stream, GetTimeString()) << ' ';
}

void ReportAplException(const char* File, int Line, const char* Message, std::ostream& Stream)
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp(Stream);
    WriteConverted(Stream, "BrintLib::TAplThrowException ");
    WriteConverted(Stream, File);
    WriteConverted(Stream, ", ") << Line;
    WriteConverted(Stream, ":\n\t");
    WriteConverted(Stream, Message);
    WriteConverted(Stream, "\n") << std::endl;
}

void ReportStdException(const char* What, std::ostream& Stream)
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp(Stream);
    WriteConverted(Stream, "std::exception: ");
    WriteConverted(Stream, What) << std::endl;
}

void ReportUnknownException(std::ostream& Stream)
{
    std::lock_guard<std::mutex> lock(g_ReportLock);
    PrintTimeStamp(Stream);
    WriteConverted(Stream, "<UNKNOWN_EXCEPTION>") << std::endl;
}

void RaiseSystemCallError(const char* Condition, const char* File, int Line)
{
    static const char kRule[] =
        "-------------------------------------------------------------------------------\n";
    std::ostringstream block;
    block << kRule << "   APL_ERROR( " << Condition << " )\n"
          << "   " << File << ", " << Line << std::endl
          << kRule;
    WriteConverted(std::cerr, block.str()) << std::flush;
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
