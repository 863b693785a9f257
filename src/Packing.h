// Packing the finished issue into a zip archive with the archiver named on the command line.
#pragma once

#include <string>

/// Packs the issue directory g_IssueDir into a zip archive by running the archiver at ArchiverPath, then,
/// once the archive is read back and holds every file of the directory with its size, removes the
/// directory. Returns the archive's path. Raises TAplThrowException when the archiver's path or the
/// directory cannot be passed on the command line, the archiver cannot be started or reports failure, or
/// the archive does not hold the directory whole; the directory is then kept. Raises TSilentException
/// when waiting for the archiver fails.
std::string PackIssue(const std::string& ArchiverPath);
