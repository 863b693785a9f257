// Runs a program as a child process for tests and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

struct TProcessResult {
    int ExitStatus = -1;  ///< exit status, or -1 when the child did not exit normally
    int Signal = 0;       ///< the signal that ended the child, 0 when it exited
    std::string Stdout;   ///< everything the child wrote to standard output
    std::string Stderr;   ///< everything the child wrote to standard error
};

/// Runs Args[0] (a path) with Args, in WorkDir when it is not empty, with the current environment plus
/// ExtraEnv ("NAME=value" entries, which replace variables of the same name), waits for it to end and
/// returns its output. Standard input is /dev/null.
TProcessResult RunProcess(const std::vector<std::string>& Args, const std::vector<std::string>& ExtraEnv = {},
                          const std::string& WorkDir = "");

/// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& Path);

} // namespace TestSupport
