#include "SkerrowCopy.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace TestSupport {

TSkerrowCopy::TSkerrowCopy() : m_Exe(m_Dir / "Skerrow")
{
    fs::copy_file(SKERROW_EXE, m_Exe);
    fs::permissions(m_Exe, fs::perms::owner_all);
}

TProcessResult TSkerrowCopy::Run(const std::string& ProxyUrl, const std::string& Url,
                                 const std::string& SavePath) const
{
    return RunProcess({m_Exe, Url, SavePath},
                      {"http_proxy=" + ProxyUrl, "no_proxy=", "NO_PROXY=", "HTTP_PROXY=", "LANG=C.UTF-8",
                       "LC_ALL="},
                      m_Dir.Path());
}

std::string TSkerrowCopy::ErrorLog() const
{
    return ReadFile(m_Dir / "errors.txt");
}

} // namespace TestSupport
