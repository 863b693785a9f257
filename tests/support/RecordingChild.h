// The recording child: a test program started again, by the code under test, in place of some other
// program. Before any test runs, a program that finds kRecordArgsVariable set writes down what it
// received and exits at once; RecordingChild.cpp is compiled into every test program, so each can play
// the child. Also the helpers to switch the child on and to read what it wrote.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

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

} // namespace TestSupport
