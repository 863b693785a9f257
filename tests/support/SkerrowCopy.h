// A private copy of the Skerrow executable in a temporary directory of its own, for tests that run whole
// copies of an issue: errors.txt is written beside the executable, so the error log is the test's alone.
#pragma once

#include <string>

#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace TestSupport {

class TSkerrowCopy {
public:
    /// Copies the executable (SKERROW_EXE) into a new temporary directory, which goes with the object.
    TSkerrowCopy();

    /// Runs the copy on Url and SavePath in its directory, libcurl's proxy being ProxyUrl and the console
    /// UTF-8; returns what it printed.
    TProcessResult Run(const std::string& ProxyUrl, const std::string& Url,
                       const std::string& SavePath) const;
    /// The copy's errors.txt; empty when there is none.
    std::string ErrorLog() const;
    /// Name in the copy's directory.
    std::string Path(const std::string& Name) const { return m_Dir / Name; }

private:
    TTempDir m_Dir;
    std::string m_Exe;
};

} // namespace TestSupport
