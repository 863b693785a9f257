// The application driver: command line, site dispatch, the run of the task queue, the error log, packing
// of the result and the run's summary and exit status.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// The full path of the issue directory, set by the title-page processors; empty until then.
extern std::string g_IssueDir;

class TDownloader;

/// The exit statuses of the program. An interrupted run ends with 128 + the signal number (130 for
/// SIGINT, 143 for SIGTERM); a failed fatal check ends the process abnormally.
enum TExitStatus : int {
    kExitSuccess = 0,    ///< every task succeeded, and the packing when it was asked for
    kExitFailed = 1,     ///< the run went through, but a task or the packing failed, or something was logged
    kExitNotStarted = 2, ///< the run could not start: arguments, unknown URL, refused save path
};

/// What one run of the task queue did.
struct TQueueOutcome {
    size_t Pages = 0;    ///< page tasks that succeeded
    size_t Pictures = 0; ///< picture tasks that succeeded
    size_t Failed = 0;   ///< tasks that failed
};

/// Runs g_TaskQueue to its end through Downloader: takes the front task, downloads it, deletes it, until
/// the queue is empty (tasks pushed meanwhile run too). A task that fails with an application exception
/// or any other std::exception is written to the error log with its URL, and the run goes on; other
/// exceptions leave, the task deleted. Returns the counts of the tasks run.
TQueueOutcome RunTaskQueue(TDownloader& Downloader);

/// Appends Entry to errors.txt beside the executable and echoes it on the console, with every control
/// byte but tab and line feed shown as '?' in both (the entry quotes text from the network). A log that
/// cannot be written loses the entry silently.
void LogError(const std::string& Entry);

/// The number of entries given to LogError since the program started, written or lost.
size_t LoggedErrorCount();

/// The full path of errors.txt, in the user's encoding.
std::string ErrorLogPath();

/// Packs the issue directory g_IssueDir into a zip archive by running the archiver at ArchiverPath, then,
/// once the archive is read back and holds every file of the directory with its size, removes the
/// directory. Returns the archive's path. Raises TAplThrowException when the archiver's path or the
/// directory cannot be passed on the command line, the archiver cannot be started or reports failure, or
/// the archive does not hold the directory whole; the directory is then kept. Raises TSilentException
/// when waiting for the archiver fails.
std::string PackIssue(const std::string& ArchiverPath);

/// The whole run of the program for the given arguments (in the user's encoding, the program name first;
/// the arguments used are converted to windows-1251 here). Reports every failure itself, ends with a
/// summary of what was saved when the queue has run, and returns the exit status (TExitStatus), or 128 +
/// the signal's number when SIGINT or SIGTERM interrupted the run.
int RunSkerrow(const std::vector<std::string>& Args);
