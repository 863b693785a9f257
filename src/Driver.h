// The application driver: command line, site dispatch, the run of the task queue, the error log and
// packing of the result.
#pragma once

#include <string>
#include <vector>

/// The full path of the issue directory, set by the title-page processors; empty until then.
extern std::string g_IssueDir;

class TDownloader;

/// Runs g_TaskQueue to its end through Downloader: takes the front task, downloads it, deletes it, until
/// the queue is empty (tasks pushed meanwhile run too). A task that fails with an application exception
/// or any other std::exception is written to the error log with its URL, and the run goes on; other
/// exceptions leave, the task deleted.
void RunTaskQueue(TDownloader& Downloader);

/// Appends Entry, exactly as composed, to errors.txt beside the executable and echoes it on the console.
/// A log that cannot be written loses the entry silently.
void LogError(const std::string& Entry);

/// Packs the issue directory g_IssueDir into a zip archive by running the archiver at ArchiverPath, then
/// removes the directory. Raises when the archiver cannot be started or reports failure.
void PackIssue(const std::string& ArchiverPath);

/// The whole run of the program for the given arguments (in the user's encoding, the program name first;
/// all but the program name are converted to windows-1251 here). Reports every failure itself and returns
/// the exit status: 0, or 128 + the signal's number when SIGINT or SIGTERM interrupted the run.
int RunSkerrow(const std::vector<std::string>& Args);
