// Packing the finished issue into a zip archive with the archiver named on the command line.
#pragma once

#include <string>
#include <utility>

#include "libs/Exceptions.h"

/// Raises TAplThrowException when ArchiverPath cannot be passed on a command line (it holds a '"'): the
/// driver checks it before anything is downloaded.
void CheckArchiverPath(const std::string& ArchiverPath);

/// Raised by PackIssue when the archive is verified but the issue directory cannot be removed after it.
class TDirectoryKept : public BrintLib::TAplThrowException {
  public:
    TDirectoryKept(const std::string& Message, const char* File, int Line, std::string Archive)
        : TAplThrowException(Message, File, Line), m_Archive(std::move(Archive))
    {
    }
    /// The verified archive.
    const std::string& Archive() const noexcept { return m_Archive; }

  private:
    std::string m_Archive;
};

/// Packs the issue directory g_IssueDir into a zip archive by running the archiver at ArchiverPath, then,
/// once the archive is read back and holds every file of the directory with its size and CRC-32, removes
/// the directory. Returns the archive's path. An archiver whose file name is "zip" is run as
/// `zip -r -q ARCHIVE .`, one named "7z" or "7za" as `7z a -tzip -bd -y ARCHIVE .`, both in the issue
/// directory; any other is given WinRar's command line. Raises TAplThrowException when the archiver's
/// path or the directory cannot be passed on the command line, the archiver cannot be started or reports
/// failure, or the archive does not hold the directory whole (the directory is then kept), and
/// TDirectoryKept when the directory cannot be removed after a verified archive. Raises TSilentException
/// when waiting for the archiver fails.
std::string PackIssue(const std::string& ArchiverPath);
