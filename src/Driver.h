// The application driver: command line, site dispatch, the run of the task queue, packing of the result
// (Packing.h) and the run's summary and exit status.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "PagePattern.h"

class TDownloader;
class TProgressLine;

/// The exit statuses of the program. An interrupted run ends with 128 + the signal number (130 for
/// SIGINT, 143 for SIGTERM); a failed fatal check ends the process abnormally.
enum TExitStatus : int {
    kExitSuccess = 0, ///< no task failed (files saved before count as done), and the packing succeeded
    kExitFailed = 1,  ///< the run went through or was stopped (full disk), but a task or the packing failed,
                      ///< or something was logged
    kExitNotStarted = 2, ///< the run could not start: arguments, unknown URL, refused save path or
                         ///< variable, the issue directory taken by another run
};

/// What one run of the task queue did.
struct TQueueOutcome {
    size_t Pages = 0;    ///< page tasks that succeeded
    size_t Pictures = 0; ///< picture tasks that succeeded
    size_t Already = 0;  ///< tasks whose file an earlier run had saved (TAlreadySaved)
    size_t Failed = 0;   ///< tasks that failed
    size_t Left = 0;     ///< tasks whose turn had not ended when the run was interrupted or stopped
};

/// Runs g_TaskQueue to its end through Downloader: takes the front task, downloads it, deletes it, until
/// the queue is empty (tasks pushed meanwhile run too), counting into Outcome as it goes. A task whose
/// file exists prints "Уже сохранён: FILE". A task that fails with an application exception, any other
/// std::exception or an exception of no known kind ("<URL> unknown exception") is written to the error
/// log with its URL and counted, and the run goes on; BrintLib::TInterrupted and BrintLib::TRunStopped
/// leave, the task deleted and counted with those still queued in Outcome.Left. Progress, when given, is
/// updated at every turn.
void RunTaskQueue(TDownloader& Downloader, TQueueOutcome& Outcome, TProgressLine* Progress = nullptr);

/// Every page pattern of the program: the page services' (PageServicePatterns), then each site's, in the
/// order the sites are asked. Each name occurs once.
TPagePatterns ProgramPatterns();

/// The whole run of the program for the given arguments (in the user's encoding, the program name first;
/// the arguments used are converted to windows-1251 here; CommandLine.h reads them). Reports every
/// failure itself (on standard error; the "Download:" and "Processing:" lines and the summary go to
/// standard output), ends with a summary of what was saved when the queue has run, and returns the exit
/// status (TExitStatus), or 128 + the signal's number when SIGINT or SIGTERM interrupted the run.
int RunSkerrow(const std::vector<std::string>& Args);
