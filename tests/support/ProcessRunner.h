// The tests' one way to start a child process: run a program and collect what it printed; a private copy
// of the Skerrow executable to run; and the recording child, the test program itself started again by the
// code under test in place of some other program: before any test runs, a test program that finds
// kRecordArgsVariable set writes down what it received and exits at once (any test program linking
// RunProcess can play the child).
#pragma once

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace TestSupport {

struct TProcessResult {
    int ExitStatus = -1; ///< exit status, or -1 when the child did not exit normally
    int Signal = 0;      ///< the signal that ended the child, 0 when it exited
    std::string Stdout;  ///< everything the child wrote to standard output
    std::string Stderr;  ///< everything the child wrote to standard error
};

/// Runs Args[0] (a path) with Args, in WorkDir when it is not empty, with the current environment plus
/// ExtraEnv ("NAME=value" entries, which replace variables of the same name), waits for it to end and
/// returns its output. Standard input is /dev/null.
TProcessResult RunProcess(const std::vector<std::string>& Args, const std::vector<std::string>& ExtraEnv = {},
                          const std::string& WorkDir = "");

/// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& Path);
/// Writes Content as the new file Path, never over anything (fails the calling test when it cannot).
void WriteFile(const std::string& Path, const std::string& Content);

/// Names a file: the child writes its argv there, each argument ended by a zero byte.
constexpr char kRecordArgsVariable[] = "SKERROW_TEST_RECORD_ARGS";
/// Names a file (optional): the child then lists the names in its /proc/self/fd there, one a line.
constexpr char kRecordFdsVariable[] = "SKERROW_TEST_RECORD_FDS";
/// The child's exit code, 0 when unset; "signal" makes it end itself with SIGTERM.
constexpr char kChildExitVariable[] = "SKERROW_TEST_CHILD_EXIT";

/// The path of the running test program, which acts as the recording child when started so.
std::string SelfPath();

/// The arguments that the child wrote to Path (argv[0] first); empty when it wrote nothing there.
std::vector<std::string> ReadRecordedArgs(const std::string& Path);

/// Sets an environment variable while the object lives, then restores what was there (or its absence).
/// Name must outlive the object.
class TEnvironmentVariable {
  public:
    TEnvironmentVariable(const char* Name, const std::string& Value);
    ~TEnvironmentVariable();
    TEnvironmentVariable(const TEnvironmentVariable&) = delete;
    TEnvironmentVariable& operator=(const TEnvironmentVariable&) = delete;

  private:
    const char* m_Name;
    std::string m_Old;
    bool m_HadOld = false;
};

/// A private copy of the Skerrow executable in a temporary directory of its own, for tests that run whole
/// copies of an issue: errors.txt is written beside the executable, so the error log is the test's alone.
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
