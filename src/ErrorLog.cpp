#include "ErrorLog.h"

#include <fstream>
#include <iostream>

#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"

namespace {

/// Entries given to LogError so far.
size_t g_LoggedErrors = 0;

/// The directory of errors.txt when it is not the executable's; empty otherwise.
std::string g_LogDirectory;

} // namespace

void LogError(const std::string& Entry)
{
    ++g_LoggedErrors;
    const std::string shown = BrintLib::MaskControlBytes(Entry);
    BrintLib::WriteConverted(std::cout, shown) << std::flush;
    std::ofstream log(ErrorLogPath(), std::ios::app);
    log << shown;
}

size_t LoggedErrorCount()
{
    return g_LoggedErrors;
}

std::string ErrorLogPath()
{
    return (g_LogDirectory.empty() ? BrintLib::GetModuleDir() : g_LogDirectory) + "errors.txt";
}

void SetErrorLogDirectory(const std::string& Dir)
{
    g_LogDirectory = Dir;
}
