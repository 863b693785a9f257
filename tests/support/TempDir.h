// A real, uniquely named directory under /tmp for one test, removed with everything in it afterwards.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <string>

namespace TestSupport {

class TTempDir {
  public:
    /// Creates /tmp/skerrow-test-XXXXXX; aborts when it cannot.
    TTempDir();
    /// Removes the directory and everything below it, never following a symbolic link.
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    /// The directory's path, without a trailing separator.
    const std::string& Path() const { return m_Path; }
    /// Path() + "/" + Name.
    std::string operator/(const std::string& Name) const { return m_Path + "/" + Name; }

  private:
    std::string m_Path;
};

/// errors.txt in a temporary directory of its own while the object lives (SetErrorLogDirectory), so that
/// a test reads and removes only what it logged itself, whatever runs beside it.
class TPrivateErrorLog {
  public:
    TPrivateErrorLog();
    /// Puts errors.txt back beside the executable; the directory goes with everything in it.
    ~TPrivateErrorLog();
    TPrivateErrorLog(const TPrivateErrorLog&) = delete;
    TPrivateErrorLog& operator=(const TPrivateErrorLog&) = delete;

    /// The path of errors.txt (which need not exist).
    std::string Path() const { return m_Dir / "errors.txt"; }

  private:
    TTempDir m_Dir;
};

/// A disk that is full: while the object lives, no file of this process may grow beyond Bytes; a write
/// past that fails with EFBIG (the signal SIGXFSZ that would end the process is ignored meanwhile).
class TFileSizeLimit {
  public:
    explicit TFileSizeLimit(rlim_t Bytes);
    ~TFileSizeLimit();
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

  private:
    rlimit m_Previous{};
    void (*m_PreviousHandler)(int) = nullptr;
};

} // namespace TestSupport
