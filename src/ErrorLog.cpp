#include "ErrorLog.h"

#include <fstream>
#include <iostream>

#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/FileSystem.h"

namespace {

/// Entries given to LogError so far, and those of them that a file took.
size_t g_LoggedErrors = 0;
size_t g_WrittenErrors = 0;
std::string g_WrittenPath;

/// The directory of errors.txt when it is not the executable's; empty otherwise.
std::string g_LogDirectory;
/// NativePath of the fallback directory with a final separator; empty for none.
std::string g_FallbackDirectory;

const char kLogName[] = "errors.txt";

/// Appends Text to the file Path (the user's encoding); true when all of it was written.
bool Append(const std::string& Path, const std::string& Text)
{
    std::ofstream log(Path, std::ios::app | std::ios::binary);
    log << Text;
    log.close();
    return static_cast<bool>(log);
}

} // namespace

void LogError(const std::string& Entry)
{
    ++g_LoggedErrors;
    const std::string shown = BrintLib::MaskControlBytes(Entry);
    // A failure report: on standard error, after the console lines before it (std::cerr flushes std::cout).
    BrintLib::WriteConverted(std::cerr, shown) << std::flush;
    for (const std::string& path :
         {ErrorLogPath(), g_FallbackDirectory.empty() ? std::string() : g_FallbackDirectory + kLogName}) {
        if (!path.empty() && Append(path, BrintLib::PathsToCp1251(shown))) {
            ++g_WrittenErrors;
            g_WrittenPath = path;
            return;
        }
    }
}

size_t LoggedErrorCount()
{
    return g_LoggedErrors;
}

size_t WrittenErrorCount()
{
    return g_WrittenErrors;
}

std::string WrittenLogPath()
{
    return g_WrittenPath;
}

std::string ErrorLogPath()
{
    return (g_LogDirectory.empty() ? BrintLib::GetModuleDir() : g_LogDirectory) + kLogName;
}

void SetErrorLogDirectory(const std::string& Dir)
{
    g_LogDirectory = Dir;
}

void SetFallbackLogDirectory(const std::string& Dir)
{
    g_FallbackDirectory.clear();
    if (!Dir.empty()) {
        g_FallbackDirectory = BrintLib::NativePath(Dir);
        if (g_FallbackDirectory.back() != BrintLib::kPathSeparator)
            g_FallbackDirectory += BrintLib::kPathSeparator;
    }
}
