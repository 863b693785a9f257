// The state of one run of the program: the issue directory it took, with its lock, and the save path whose
// errors.txt takes the log entries that the executable's directory cannot. The driver makes one object per
// run and ends it; while it lives, the page processors record the issue directory in it
// (CreateIssueDirectory), and when it ends the lock is released and the state is cleared.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "libs/FileSystem.h"

/// The full path of the issue directory, ending with the path separator: set by CreateIssueDirectory,
/// empty until then and again once the run's state has ended.
extern std::string g_IssueDir;

/// The state of a run; not copyable. The one made while no other lives is the current run's (Current()),
/// until it ends: its destructor releases the issue directory's lock, clears g_IssueDir and puts errors.txt
/// back beside the executable. One made while the current lives holds a lock of its own and nothing else
/// (a second holder, as another run would be).
class TRunState {
  public:
    TRunState();
    ~TRunState();
    TRunState(const TRunState&) = delete;
    TRunState& operator=(const TRunState&) = delete;

    /// Creates the directory of the issue IssueName below SavePath (SavePath, separator, IssueName,
    /// separator; any missing parent too), locks it for the run (one run per issue directory, in this
    /// process or another), removes the temporaries that ended runs left in it, records it in g_IssueDir
    /// and returns it. Taking the directory held already is no change. Raises BrintLib::TAplThrowException
    /// naming the directory and the system's error text when it cannot be created, and BrintLib::TRunStopped
    /// (exit status 2) when another run holds its lock; g_IssueDir is then unchanged.
    std::string TakeIssueDirectory(const std::string& SavePath, const std::string& IssueName);

    /// Check is called with the issue directory (no final separator) before TakeIssueDirectory creates or
    /// locks a directory it does not hold; what it raises leaves TakeIssueDirectory. When it ends the run
    /// as done (BrintLib::TRunStopped with exit status 0), g_IssueDir names that directory, uncreated.
    void BeforeTaking(std::function<void(const std::string& Dir)> Check)
    {
        m_BeforeTaking = std::move(Check);
    }

    /// Runs the check that BeforeTaking set on Dir now, before any request, as TakeIssueDirectory would run
    /// it: for an issue directory known before its contents page is fetched. TakeIssueDirectory does not run
    /// it again on Dir.
    void CheckBeforeRequest(const std::string& Dir);
    /// Whether this run holds the lock of an issue directory.
    bool HoldsIssueDirectory() const { return m_Lock.IsLocked(); }

    /// Log entries that errors.txt beside the executable cannot take go to errors.txt in SavePath
    /// (windows-1251) until the run ends.
    void LogToSavePath(const std::string& SavePath);

    /// The current run's state; null when no run is under way.
    static TRunState* Current() noexcept;

  private:
    BrintLib::TDirectoryLock m_Lock; ///< the lock on g_IssueDir, held from TakeIssueDirectory to the end
    std::function<void(const std::string& Dir)> m_BeforeTaking;
    std::string m_Checked; ///< the directory (no final separator) that CheckBeforeRequest checked
};

/// TakeIssueDirectory of the current run, for the page processors; there must be one (fatal check).
std::string CreateIssueDirectory(const std::string& SavePath, const std::string& IssueName);
