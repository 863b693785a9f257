#include "Driver.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>

#include "CommandLine.h"
#include "ErrorLog.h"
#include "Generic_Parser.h"
#include "Logic.h"
#include "Packing.h"
#include "PopMech_Parser.h"
#include "Progress.h"
#include "RunState.h"
#include "VokrugSveta_Parser.h"
#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/Environment.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/Interruption.h"
#include "libs/Net/CURLTransfer.h"
#include "libs/Url.h"
#include "magazine/Catalogue.h"
#include "reader/Epub.h"
#include "reader/IssueIndex.h"

using BrintLib::WriteConverted;

namespace {

/// A site handler: accepts a title-page URL (its scheme and host name in lower case) and the save path,
/// and when the URL is its site's, pushes the title-page task onto g_TaskQueue and returns true.
using TSiteHandler = bool (*)(const std::string& Url, const std::string& SavePath);

/// The site handlers, asked in this order; the first that accepts the URL wins.
const TSiteHandler kSiteHandlers[2] = {PopMech::ProcessUrl, VokrugSveta::ProcessUrl};

/// The arguments used: the URL, the save path and the archiver's path.
constexpr size_t kLastUsedArgument = 3;

void PrintBanner()
{
    WriteConverted(std::cout, "Skerrow - offline copy of one magazine issue") << std::endl;
    WriteConverted(std::cout, "                  https://skerrow.example.org/") << std::endl;
    WriteConverted(std::cout, "                  Skerrow developers <skerrow@example.org>\n") << std::endl;
}

/// Printed after the usage: what the exit status tells a script.
void PrintExitStatuses(std::ostream& Stream)
{
    WriteConverted(Stream, "Код завершения: 0 - всё сохранено (и упаковано); 1 - часть задач или упаковка не "
                           "удались; 2 - запуск невозможен; 130/143 - прервано (SIGINT/SIGTERM)")
        << std::endl;
}

/// A command line that cannot run, on standard error: what is wrong, the usage, the exit statuses and
/// where to read more.
void ReportUsageError(const TUsageError& Error)
{
    // The argument is shown as the user wrote it, in the user's encoding already.
    WriteConverted(std::cerr, Error.What) << BrintLib::MaskControlBytes(Error.Argument) << "\n";
    WriteConverted(std::cerr, kUsage) << "\n";
    PrintExitStatuses(std::cerr);
    WriteConverted(std::cerr, "Подробнее: Skerrow --help") << std::endl;
}

/// --help: the usage, the environment variables with their ranges, the exit statuses.
void PrintHelp()
{
    WriteConverted(std::cout, kUsage) << "\n";
    WriteConverted(std::cout,
                   "Параметры (в любом месте командной строки; -- завершает их):\n" + OptionsHelp());
    WriteConverted(std::cout, "Переменные окружения:") << "\n";
    for (const BrintLib::TEnvironmentSetting& setting : BrintLib::EnvironmentSettings()) {
        std::ostringstream line;
        line << "  " << setting.Name << " - " << setting.Meaning << ": целое число от " << setting.Min
             << " до " << setting.Max << ", по умолчанию " << setting.Default;
        WriteConverted(std::cout, line.str()) << "\n";
    }
    WriteConverted(std::cout, "Повторный запуск той же команды докопирует выпуск: уже сохранённые файлы "
                              "не запрашиваются.")
        << "\n";
    PrintExitStatuses(std::cout);
}

/// Reports the exception being handled on standard error, as the outermost handler does: an application
/// failure with its source location, a silent one not at all (its report is out already).
void ReportCurrentException()
{
    try {
        throw;
    } catch (const BrintLib::TSilentException&) {
    } catch (const BrintLib::TAplThrowException& e) {
        BrintLib::ReportAplException(e.GetFile(), e.GetLine(), e.what(), std::cerr);
    } catch (const std::exception& e) {
        BrintLib::ReportStdException(e.what(), std::cerr);
    } catch (...) {
        BrintLib::ReportUnknownException(std::cerr);
    }
}

/// The error log's entry for the failure being handled, of the task or step named Key (a URL): an
/// application failure with its source location and message, any other std::exception with its text,
/// anything else as an unknown exception.
std::string FailureEntry(const std::string& Key)
{
    std::ostringstream entry;
    try {
        throw;
    } catch (const BrintLib::TAplThrowException& e) {
        entry << Key << " BrintLib::TAplThrowException " << e.GetFile() << ", " << e.GetLine() << ":\n\t"
              << e.what() << "\n\n";
    } catch (const std::exception& e) {
        entry << Key << " std::exception: " << e.what() << "\n";
    } catch (...) {
        // Of no kind the program knows (a library's own): a failure all the same.
        entry << Key << " unknown exception\n";
    }
    return entry.str();
}

/// Queues the title-page task of the site of Args[1]: the described magazine of MagazineFile when one is
/// named, else the first built-in site that takes the URL, else the description found for its host.
void Dispatch(const std::vector<std::string>& Args, const std::string& MagazineFile)
{
    // Scheme and host name are written in any case; the program writes and compares them in lower case.
    const std::string lowered = BrintLib::LowerCaseSchemeAndHost(Args[1]);
    if (!MagazineFile.empty()) {
        g_TaskQueue.Push(Magazine::ContentsTask(lowered, Args[2], MagazineFile));
        return;
    }
    for (TSiteHandler handler : kSiteHandlers) {
        const std::string url = lowered;
        const std::string savePath = Args[2];
        if (handler(url, savePath))
            return;
    }
    if (std::unique_ptr<ITask> described = Magazine::ContentsTask(lowered, Args[2], std::string())) {
        g_TaskQueue.Push(std::move(described));
        return;
    }
    APL_THROW("Неизвестный URL: " << Args[1]);
}

/// --magazines: the built-in sites with their host patterns, then every description found.
void ListMagazines()
{
    for (const TPagePattern* host :
         {&FindPattern(PopMech::Patterns(), "A.Host"), &FindPattern(VokrugSveta::Patterns(), "B.Host")}) {
        std::string hosts;
        for (const char c : host->Text)
            if (c != '\\')
                hosts += c == '|' ? std::string(", ") : std::string(1, c);
        WriteConverted(std::cout, std::string("Встроенный сайт ") + host->Name[0] + ": " + hosts) << "\n";
    }
    std::ostringstream described;
    Magazine::ListDescriptions(described);
    WriteConverted(std::cout, described.str()) << std::flush;
}

/// The program name (as it came: it is never read, whatever path started the program) and the arguments
/// as the program's text: the URL in windows-1251 (one that windows-1251 cannot represent stops the run),
/// the paths as the system's bytes (SystemPathToText).
std::vector<std::string> ConvertArguments(const std::string& Program,
                                          const std::vector<std::string>& UserArgs)
{
    std::vector<std::string> args(1, Program);
    for (size_t i = 0; i < UserArgs.size() && i < kLastUsedArgument; ++i) {
        args.emplace_back();
        if (i >= 1)
            args.back() = BrintLib::SystemPathToText(UserArgs[i]);
        else if (!BrintLib::UserToCp1251(UserArgs[i], args.back()))
            APL_THROW("Аргумент " << i + 1
                                  << " командной строки не может быть представлен в кодировке windows-1251");
    }
    return args;
}

/// Checks the arguments, the environment, the save path and the archiver, and queues the title-page task;
/// returns the program name and the arguments in windows-1251. Raises, with nothing downloaded or
/// created, when the run cannot start.
std::vector<std::string> Start(const std::string& Program, const std::vector<std::string>& UserArgs,
                               const std::string& MagazineFile)
{
    const std::vector<std::string> args = ConvertArguments(Program, UserArgs);
    // An empty save path would put the issue directory at the file-system root.
    if (args[2].empty())
        APL_THROW("Путь сохранения пуст: укажите каталог, в котором сохранить выпуск");
    BrintLib::CheckEnvironmentSettings();
    if (const unsigned error = BrintLib::CheckDirectoryPath(args[2]))
        APL_THROW("Сохранить выпуск в "
                  << args[2] << " нельзя: " << BrintLib::GetErrorDescription(static_cast<int>(error)));
    if (args.size() > 3)
        CheckArchiver(args[3]);
    Dispatch(args, MagazineFile);
    FATAL_CHECK(!g_TaskQueue.IsEmpty());
    return args;
}

/// Open files a run needs besides its transfers (the standard streams, libcurl's and the file thread's
/// wake-up pipes, the issue directory's lock, a file being written, errors.txt), and per transfer (its
/// socket, and the pair of the name lookup while it runs).
constexpr rlim_t kOpenFilesBase = 16;
constexpr rlim_t kOpenFilesPerTransfer = 3;

/// The transfers in flight for a run that wants Wanted: the soft limit of open files is raised to what
/// they need as far as the hard limit lets, and as many run as the limit then holds (one at least), so
/// that a low `ulimit -n` slows the run instead of failing its transfers.
size_t ConnectionsWithinOpenFiles(size_t Wanted)
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
        return Wanted;
    const rlim_t needed = kOpenFilesBase + kOpenFilesPerTransfer * Wanted;
    if (files.rlim_cur < needed) {
        files.rlim_cur = files.rlim_max == RLIM_INFINITY ? needed : std::min(files.rlim_max, needed);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t room =
        files.rlim_cur > kOpenFilesBase ? (files.rlim_cur - kOpenFilesBase) / kOpenFilesPerTransfer : 0;
    return std::max<size_t>(1, std::min<size_t>(Wanted, static_cast<size_t>(room)));
}

/// How a run ended, for its summary.
struct TRunEnd {
    std::string Archive; ///< the verified archive, when the packing made one
    bool PackingFailed = false;
    std::string Stopped; ///< why the run was stopped before its end (windows-1251); empty otherwise
    bool Interrupted = false;
    bool InPacking = false; ///< interrupted while the archiver ran

    bool Unfinished() const { return Interrupted || !Stopped.empty(); }
};

/// Prints where the issue went, what was saved, found saved and failed, where the errors were logged
/// (entries given since LoggedBefore, of which WrittenBefore had been written) and, for a run that did
/// not reach its end, how far it came and that the same command goes on with it.
void PrintSummary(const TQueueOutcome& Outcome, const TRunEnd& End, size_t LoggedBefore, size_t WrittenBefore)
{
    std::ostringstream summary;
    if (End.Unfinished()) {
        const size_t done = Outcome.Pages + Outcome.Pictures + Outcome.Already + Outcome.Failed;
        summary << "Копирование";
        if (!g_IssueDir.empty())
            summary << " в каталог " << g_IssueDir;
        summary << (End.Interrupted ? " прервано" : " остановлено") << (End.InPacking ? " при упаковке" : "")
                << ": выполнено задач " << done << " из " << done + Outcome.Left << ".";
    } else if (!End.Archive.empty() && !End.PackingFailed) {
        summary << "Выпуск упакован в архив " << End.Archive << ".";
    } else if (!End.Archive.empty()) {
        summary << "Выпуск упакован в архив " << End.Archive << ", каталог " << g_IssueDir
                << " удалить не удалось.";
    } else if (g_IssueDir.empty()) {
        summary << "Выпуск не сохранён.";
    } else if (End.PackingFailed) {
        summary << "Выпуск сохранён в каталоге " << g_IssueDir << ", упаковать его не удалось.";
    } else {
        summary << "Выпуск сохранён в каталоге " << g_IssueDir << ".";
    }
    summary << " Сохранено страниц: " << Outcome.Pages << ", картинок: " << Outcome.Pictures;
    if (Outcome.Already > 0)
        summary << ", уже были: " << Outcome.Already;
    summary << "; задач с ошибкой: " << Outcome.Failed << "\n";
    WriteConverted(std::cout, summary.str());
    // The log's path comes from the system, in the user's encoding already.
    const size_t logged = LoggedErrorCount() - LoggedBefore;
    const size_t written = WrittenErrorCount() - WrittenBefore;
    if (written > 0)
        WriteConverted(std::cout, "Ошибки записаны в ") << WrittenLogPath() << "\n";
    if (written < logged) {
        std::ostringstream lost;
        lost << "Записать в errors.txt не удалось записей об ошибках: " << logged - written
             << " (они выведены выше)\n";
        WriteConverted(std::cout, lost.str());
    }
    if (End.Unfinished())
        WriteConverted(std::cout, "Копирование не закончено: та же команда продолжит его, сохранённое "
                                  "останется.\n");
    std::cout << std::flush;
}

/// Makes what After asks for once the issue is saved (and packed); returns false when something failed
/// (reported on the console).
bool MakeAfterRun(const TCommandLine& After, const std::string& SavePath, const std::string& TitleUrl)
{
    bool ok = true;
    std::string issueDir = g_IssueDir;
    if (!issueDir.empty() && issueDir.back() == BrintLib::kPathSeparator)
        issueDir.pop_back();
    const size_t separator = issueDir.rfind(BrintLib::kPathSeparator);
    if (After.Book && !issueDir.empty() && separator != std::string::npos) {
        try {
            const TIssueBook book =
                MakeIssueBook(issueDir.substr(0, separator), issueDir.substr(separator + 1), TitleUrl);
            WriteConverted(std::cout,
                           (book.UpToDate ? "Книга выпуска уже сделана из этой копии: " : "Книга выпуска: ") +
                               book.Path)
                << std::endl;
        } catch (...) {
            ReportCurrentException();
            ok = false;
        }
    }
    if (After.Index && BrintLib::PathExists(SavePath)) {
        try {
            WriteConverted(std::cout, "Список выпусков: " + WriteIssueIndex(SavePath)) << std::endl;
        } catch (...) {
            ReportCurrentException();
            ok = false;
        }
    }
    return ok;
}

/// Deletes the tasks left in the queue (their temporaries with them).
void DropQueuedTasks()
{
    while (!g_TaskQueue.IsEmpty())
        g_TaskQueue.Pop();
}

/// Packs the issue with Archiver once its tasks have run, into End; a failure is logged under the
/// contents page's address TitleUrl, and the archive that failed its check is set aside (Packing.h). An
/// interruption while the archiver runs is no failure of the packing: the run is then interrupted.
void PackRun(const std::string& Archiver, const std::string& TitleUrl, TRunEnd& End)
{
    try {
        End.Archive = PackIssue(Archiver);
        MarkPackedIssue(End.Archive, BrintLib::LowerCaseSchemeAndHost(TitleUrl));
        return;
    } catch (const TDirectoryKept& e) {
        End.Archive = e.Archive();
        End.PackingFailed = true;
        if (BrintLib::InterruptionSignal() == 0)
            LogError(FailureEntry(TitleUrl));
    } catch (...) {
        End.PackingFailed = true;
        if (BrintLib::InterruptionSignal() == 0)
            LogError(FailureEntry(TitleUrl));
    }
    End.Interrupted = End.InPacking = BrintLib::InterruptionSignal() != 0;
}

/// Runs the queued tasks and the packing, prints the summary and returns the exit status; a second run
/// into the same issue directory, and a packed issue found whole, leave as TRunStopped with nothing changed.
int RunIssue(const std::vector<std::string>& Args, const TCommandLine& After)
{
    const size_t loggedBefore = LoggedErrorCount();
    const size_t writtenBefore = WrittenErrorCount();
    TQueueOutcome outcome;
    TRunEnd end;
    // From here on SIGINT and SIGTERM end the run in order (TInterrupted).
    const BrintLib::TInterruptionHandlers interruption;
    bool lineEnded = false;
    {
        TProgressLine progress;
        try {
            // libcurl's global initialisation happens only now that a task is queued.
            TDownloader downloader(ConnectionsWithinOpenFiles(
                static_cast<size_t>(BrintLib::WholeNumberFromEnvironment("SKERROW_CONNECTIONS"))));
            if (progress.Enabled())
                downloader.SetActivityObserver(
                    [&progress](const TActivity& Activity) { progress.Update(Activity); });
            RunTaskQueue(downloader, outcome, &progress);
        } catch (const BrintLib::TInterrupted&) {
            end.Interrupted = true;
            // The line shows how far the run came, and the terminal's "^C" after it.
            lineEnded = progress.KeepShown();
        } catch (const BrintLib::TRunStopped& e) {
            DropQueuedTasks();
            if (e.ExitStatus() != kExitFailed)
                throw;
            end.Stopped = e.Message();
        }
        DropQueuedTasks();
    }
    if (!end.Stopped.empty())
        WriteConverted(std::cerr, end.Stopped) << std::endl;
    if (!end.Unfinished() && !g_IssueDir.empty() && Args.size() > 3)
        PackRun(Args[3], Args[1], end);
    const bool afterFailed = !end.Unfinished() && !MakeAfterRun(After, Args[2], Args[1]);
    FATAL_CHECK(BrintLib::CObjectCount<ITask>::Count() == 0);
    // The terminal echoed "^C" where its cursor stood: the summary starts on a row of its own.
    if (BrintLib::InterruptionSignal() == SIGINT && !lineEnded && isatty(STDOUT_FILENO) == 1)
        std::cout << "\n";
    PrintSummary(outcome, end, loggedBefore, writtenBefore);
    if (end.Interrupted)
        return BrintLib::InterruptionExitStatus();
    const bool logged = LoggedErrorCount() != loggedBefore;
    return outcome.Failed == 0 && !logged && !end.PackingFailed && end.Stopped.empty() && !afterFailed
               ? kExitSuccess
               : kExitFailed;
}

} // namespace

void RunTaskQueue(TDownloader& Downloader, TQueueOutcome& Outcome, TProgressLine* Progress)
{
    while (!g_TaskQueue.IsEmpty()) {
        const std::unique_ptr<ITask> task = g_TaskQueue.Pop();
        FATAL_CHECK(BrintLib::TestPtr__(task.get()));
        const size_t done = Outcome.Pages + Outcome.Pictures + Outcome.Already + Outcome.Failed;
        if (Progress != nullptr)
            Progress->Update(
                TProgressCounts{done, done + g_TaskQueue.Size() + 1, Outcome.Pages, Outcome.Pictures});
        try {
            Downloader.Download(*task, g_TaskQueue);
            if (task->SavesFile())
                ++(task->SavesPage() ? Outcome.Pages : Outcome.Pictures);
        } catch (const TAlreadySaved& saved) {
            ++Outcome.Already;
            WriteConverted(std::cout, "Уже сохранён: " + saved.File) << std::endl;
        } catch (const BrintLib::TInterrupted&) {
            Outcome.Left = g_TaskQueue.Size() + 1;
            throw;
        } catch (const BrintLib::TRunStopped&) {
            Outcome.Left = g_TaskQueue.Size() + 1;
            throw;
        } catch (...) {
            ++Outcome.Failed;
            LogError(FailureEntry(task->GetUrl()));
        }
    }
}

TPagePatterns ProgramPatterns()
{
    TPagePatterns patterns = PageServicePatterns();
    for (const TPagePatterns* site : {&PopMech::Patterns(), &VokrugSveta::Patterns()})
        patterns.insert(patterns.end(), site->begin(), site->end());
    return patterns;
}

int RunSkerrow(const std::vector<std::string>& Args)
{
    TCommandLine line;
    try {
        line = ParseCommandLine(Args);
    } catch (const TUsageError& e) {
        PrintBanner();
        ReportUsageError(e);
        return kExitNotStarted;
    }
    if (line.Version) {
        std::cout << "Skerrow " << SKERROW_VERSION << std::endl;
        return kExitSuccess;
    }
    PrintBanner();
    if (line.Help) {
        PrintHelp();
        return kExitSuccess;
    }
    if (line.ListMagazines) {
        ListMagazines();
        return kExitSuccess;
    }
    int status = kExitNotStarted;
    // The run's own state, the issue directory's lock with it, ends with this function.
    TRunState run;
    std::vector<std::string> args;
    try {
        args = Start(Args.empty() ? std::string() : Args[0], line.Arguments, line.Magazine);
        // Entries that errors.txt beside the executable cannot take go to the save path.
        run.LogToSavePath(args[2]);
        // A packed issue found whole in its archive is done.
        if (args.size() > 3) {
            run.BeforeTaking(CheckPackedIssue);
            // An issue that this command packed before is known by its archive without a request.
            const std::string packed = FindPackedIssue(args[2], BrintLib::LowerCaseSchemeAndHost(args[1]));
            if (!packed.empty())
                run.CheckBeforeRequest(packed);
        }
        // From here on a failure ends a run that has started; an interrupted one ends with 128 + the
        // signal's number.
        status = kExitFailed;
        status = RunIssue(args, line);
    } catch (const BrintLib::TRunStopped& e) {
        // Another run holds the issue directory, or the packed issue is whole: nothing was changed.
        WriteConverted(e.ExitStatus() == kExitSuccess ? std::cout : std::cerr, e.Message()) << std::endl;
        status = e.ExitStatus();
        // A packed issue found whole still gets what is made after a run.
        if (status == kExitSuccess && !MakeAfterRun(line, args[2], args[1]))
            status = kExitFailed;
    } catch (...) {
        ReportCurrentException();
    }
    DropQueuedTasks();
    if (const int interrupted = BrintLib::InterruptionExitStatus())
        return interrupted;
    return status;
}
