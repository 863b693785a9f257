// Failures of the program and how they are reported.
//
// Four kinds:
//  * orderly failures: BrintLib::TAplThrowException, raised with APL_THROW; the driver logs them per task
//    or reports them on the console with a time stamp;
//  * failed checks of system calls: APL_ERROR prints a report block and raises BrintLib::TSilentException,
//    which the driver's outermost handler swallows;
//  * a run that cannot go on at all (BrintLib::TRunStopped): the driver ends the run with its message;
//  * broken invariants: FATAL_CHECK prints the condition, file and line on standard error and aborts.
#pragma once

#include <exception>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

namespace BrintLib {

/// An orderly failure: a message in windows-1251 (never converted here) and the source location of the
/// statement that raised it. Copyable; raise by value, catch by reference.
class TAplThrowException : public std::exception {
  public:
    TAplThrowException(const char* Message, const char* File, int Line);
    TAplThrowException(std::string Message, const char* File, int Line);

    const char* what() const noexcept override { return m_Message.c_str(); }
    const char* GetFile() const noexcept { return m_File.c_str(); }
    int GetLine() const noexcept { return m_Line; }

  private:
    std::string m_Message;
    std::string m_File;
    int m_Line;
};

/// Raised after a report block has already been printed (APL_ERROR); what() is "SilentException".
class TSilentException : public std::exception {
  public:
    const char* what() const noexcept override { return "SilentException"; }
};

/// Ends the whole run at once from wherever it is raised (a task's call, the file thread): another run
/// holds the issue directory, the disk is full. Deliberately not a std::exception, so that no handler of a
/// single task's failures takes it. Carries the message (windows-1251) and the run's exit status.
class TRunStopped {
  public:
    TRunStopped(std::string Message, int ExitStatus) : m_Message(std::move(Message)), m_ExitStatus(ExitStatus)
    {
    }
    const std::string& Message() const noexcept { return m_Message; }
    int ExitStatus() const noexcept { return m_ExitStatus; }

  private:
    std::string m_Message;
    int m_ExitStatus;
};

/// Serialises the console reports below. The program is single-threaded; the lock keeps a report whole
/// should that ever change.
extern std::mutex g_ReportLock;

/// Writes the local time and one blank to Stream.
void PrintTimeStamp(std::ostream& Stream = std::cout);
/// The console reports of the driver's outermost handler, on Stream (the driver's: standard error); each
/// takes g_ReportLock.
void ReportAplException(const char* File, int Line, const char* Message, std::ostream& Stream = std::cout);
void ReportStdException(const char* What, std::ostream& Stream = std::cout);
void ReportUnknownException(std::ostream& Stream = std::cout);

/// Prints the APL_ERROR report block for Condition at File:Line on standard error and raises
/// TSilentException.
[[noreturn]] void RaiseSystemCallError(const char* Condition, const char* File, int Line);

/// Prints a failed fatal check on standard error and ends the process abnormally.
[[noreturn]] void FatalCheckFailed(const char* Condition, const char* File, int Line) noexcept;

/// The pointer test used inside fatal checks. This platform has no test for readable memory, so the
/// null test decides.
template <typename T> bool TestPtr__(const T* p) noexcept
{
    return p != nullptr;
}

} // namespace BrintLib

/// Raises TAplThrowException with a message composed with <<, e.g.
/// APL_THROW("Файл " << Path << " уже существует");
#define APL_THROW(MessageExpr)                                                                               \
    do {                                                                                                     \
        std::ostringstream apl_throw_stream_;                                                                \
        apl_throw_stream_ << MessageExpr;                                                                    \
        throw ::BrintLib::TAplThrowException(apl_throw_stream_.str(), __FILE__, __LINE__);                   \
    } while (false)

/// Checks the result of a system call; on failure prints the report block and raises TSilentException.
#define APL_ERROR(Condition)                                                                                 \
    do {                                                                                                     \
        if (!(Condition))                                                                                    \
            ::BrintLib::RaiseSystemCallError(#Condition, __FILE__, __LINE__);                                \
    } while (false)

/// A check of the program's own invariants; stays active in release builds.
#define FATAL_CHECK(Condition)                                                                               \
    do {                                                                                                     \
        if (!(Condition))                                                                                    \
            ::BrintLib::FatalCheckFailed(#Condition, __FILE__, __LINE__);                                    \
    } while (false)
