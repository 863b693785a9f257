// Packing the finished issue into a zip archive with the archiver named on the command line.
#pragma once

#include <string>
#include <utility>

#include "libs/Exceptions.h"

/// Raises TAplThrowException when ArchiverPath cannot be passed on a command line (it holds a '"').
void CheckArchiverPath(const std::string& ArchiverPath);

/// The driver's check before anything is downloaded: CheckArchiverPath, and ArchiverPath (windows-1251)
/// must name a program that can be run, a path (containing '/') an executable regular file, a plain name
/// one in PATH. Raises TAplThrowException "Архиватор <path> не найден: <why>" or "Архиватор <path> нельзя
/// запустить: <why>".
void CheckArchiver(const std::string& ArchiverPath);

/// Before a packed run takes the issue directory Dir (windows-1251, no final separator): when nothing is
/// at Dir and the archive Dir.zip exists, reads the archive back. One that holds the issue whole (every
/// entry read with its CRC-32, the contents page, and every file of the issue that its pages link to)
/// means the issue is done: raises BrintLib::TRunStopped with exit status 0 ("Выпуск уже упакован в архив
/// ..."), nothing created. One that cannot be read is set aside (SetArchiveAside) and one that lacks files
/// is kept for the packing to complete; either is reported on standard error and the run goes on.
void CheckPackedIssue(const std::string& Dir);

/// Records in the verified archive Archive (windows-1251) that it holds the issue of the contents page
/// TitleUrl: the archive's comment becomes kPackedIssueMark + TitleUrl, its entries unchanged. So the same
/// command finds the issue done before its first request (FindPackedIssue). An archive that cannot take
/// the comment stays as it was; the next run then learns the issue's name from its contents page.
void MarkPackedIssue(const std::string& Archive, const std::string& TitleUrl);

/// The issue directory (windows-1251, no final separator) below SavePath whose archive says that it holds
/// the issue of TitleUrl (MarkPackedIssue); empty when no archive there says so. Reads only the archives'
/// comments: what they hold is CheckPackedIssue's to judge.
std::string FindPackedIssue(const std::string& SavePath, const std::string& TitleUrl);

/// Renames Archive (windows-1251) to Archive + ".bad" (".bad2", ".bad3", ... when that is taken), never
/// replacing anything. Returns the text that says so for a message ("архив переименован в ...", or why it
/// could not be).
std::string SetArchiveAside(const std::string& Archive);

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
/// failure, or the archive does not hold the directory whole (the directory is then kept, and an archive
/// that the archiver wrote or that failed the check is set aside, SetArchiveAside, the message saying so),
/// and TDirectoryKept when the directory cannot be removed after a verified archive. Raises TSilentException
/// when waiting for the archiver fails.
std::string PackIssue(const std::string& ArchiverPath);
