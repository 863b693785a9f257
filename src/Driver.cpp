#include "Driver.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>

#include "Epub.h"
#include "ErrorLog.h"
#include "Generic_Parser.h"
#include "IssueIndex.h"
#include "Logic.h"
#include "Packing.h"
#include "PopMech_Parser.h"
#include "VokrugSveta_Parser.h"
#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/Interruption.h"
#include "libs/Net/CURLTransfer.h"
#include "libs/Url.h"

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
void PrintExitStatuses()
{
    WriteConverted(std::cout,
                   "Код завершения: 0 - всё сохранено (и упаковано); 1 - часть задач или упаковка не "
                   "удались; 2 - запуск невозможен; 130/143 - прервано (SIGINT/SIGTERM)")
        << std::endl;
}

/// Reports the exception being handled on the console, as the outermost handler does: an application
/// failure with its source location, a silent one not at all (its report is out already).
void ReportCurrentException()
{
    try {
        throw;
    } catch (const BrintLib::TSilentException&) {
    } catch (const BrintLib::TAplThrowException& e) {
        BrintLib::ReportAplException(e.GetFile(), e.GetLine(), e.what());
    } catch (const std::exception& e) {
        BrintLib::ReportStdException(e.what());
    } catch (...) {
        BrintLib::ReportUnknownException();
    }
}

void Dispatch(const std::vector<std::string>& Args)
{
    // Scheme and host name are written in any case; the program writes and compares them in lower case.
    const std::string lowered = BrintLib::LowerCaseSchemeAndHost(Args[1]);
    for (TSiteHandler handler : kSiteHandlers) {
        const std::string url = lowered;
        const std::string savePath = Args[2];
        if (handler(url, savePath))
            return;
    }
    APL_THROW("Неизвестный URL: " << Args[1]);
}

/// The arguments in windows-1251; an argument that windows-1251 cannot represent stops the run. The
/// program name is no argument and is never read: it stays as it came, whatever path started the program.
std::vector<std::string> ConvertArguments(const std::vector<std::string>& UserArgs)
{
    // The program name and arguments after the archiver's path are never read, so they are not converted.
    std::vector<std::string> args(UserArgs);
    for (size_t i = 1; i < UserArgs.size() && i <= kLastUsedArgument; ++i) {
        if (!BrintLib::UserToCp1251(UserArgs[i], args[i]))
            APL_THROW("Аргумент " << i
                                  << " командной строки не может быть представлен в кодировке windows-1251");
    }
    return args;
}

/// Checks the command line and queues the title-page task; returns the arguments in windows-1251.
/// Raises, with nothing downloaded or created, when the run cannot start.
std::vector<std::string> Start(const std::vector<std::string>& UserArgs)
{
    if (UserArgs.size() < 3)
        APL_THROW(
            "Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> [Путь к WinRar.exe]");
    const std::vector<std::string> args = ConvertArguments(UserArgs);
    // An empty save path would put the issue directory at the file-system root.
    if (args[2].empty())
        APL_THROW("Путь сохранения пуст: укажите каталог, в котором сохранить выпуск");
    Dispatch(args);
    FATAL_CHECK(!g_TaskQueue.IsEmpty());
    return args;
}

/// Prints where the issue went, what was saved and failed, and where the errors were logged.
/// Archive is the archive's path when the packing succeeded, otherwise empty.
void PrintSummary(const TQueueOutcome& Outcome, const std::string& Archive, bool PackingFailed, bool Logged)
{
    std::ostringstream summary;
    if (!Archive.empty())
        summary << "Выпуск упакован в архив " << Archive << ".";
    else if (g_IssueDir.empty())
        summary << "Выпуск не сохранён.";
    else if (PackingFailed)
        summary << "Выпуск сохранён в каталоге " << g_IssueDir << ", упаковать его не удалось.";
    else
        summary << "Выпуск сохранён в каталоге " << g_IssueDir << ".";
    summary << " Сохранено страниц: " << Outcome.Pages << ", картинок: " << Outcome.Pictures
            << "; задач с ошибкой: " << Outcome.Failed << "\n";
    WriteConverted(std::cout, summary.str());
    // The log's path comes from the system, in the user's encoding already.
    if (Logged)
        WriteConverted(std::cout, "Ошибки записаны в ") << ErrorLogPath() << "\n";
    std::cout << std::flush;
}

/// What is made after the issue is saved: the book (--epub) and the page of saved issues (--index).
struct TAfterRun {
    bool Book = false;
    bool Index = false;
};

/// Takes the options before the URL out of Args into After.
std::vector<std::string> TakeOptions(const std::vector<std::string>& Args, TAfterRun& After)
{
    std::vector<std::string> rest(Args.begin(), Args.begin() + (Args.empty() ? 0 : 1));
    size_t i = 1;
    for (; i < Args.size(); ++i) {
        if (Args[i] == "--epub")
            After.Book = true;
        else if (Args[i] == "--index")
            After.Index = true;
        else
            break;
    }
    rest.insert(rest.end(), Args.begin() + static_cast<std::ptrdiff_t>(std::min(i, Args.size())), Args.end());
    return rest;
}

/// Makes what After asks for once the issue is saved (and packed); returns false when something failed
/// (reported on the console).
bool MakeAfterRun(const TAfterRun& After, const std::string& SavePath, const std::string& TitleUrl)
{
    bool ok = true;
    std::string issueDir = g_IssueDir;
    if (!issueDir.empty() && issueDir.back() == BrintLib::kPathSeparator)
        issueDir.pop_back();
    const size_t separator = issueDir.rfind(BrintLib::kPathSeparator);
    if (After.Book && !issueDir.empty() && separator != std::string::npos) {
        try {
            const std::string book =
                MakeIssueBook(issueDir.substr(0, separator), issueDir.substr(separator + 1), TitleUrl);
            WriteConverted(std::cout, "Книга выпуска: " + book) << std::endl;
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

/// Runs the queued tasks and the packing, prints the summary and returns the exit status.
int RunIssue(const std::vector<std::string>& Args, const TAfterRun& After)
{
    const size_t loggedBefore = LoggedErrorCount();
    // From here on SIGINT and SIGTERM end the run in order (TInterrupted).
    const BrintLib::TInterruptionHandlers interruption;
    // libcurl's global initialisation happens only now that a task is queued.
    TDownloader downloader;
    const TQueueOutcome outcome = RunTaskQueue(downloader);
    std::string archive;
    bool packingFailed = false;
    if (!g_IssueDir.empty() && Args.size() > 3) {
        try {
            archive = PackIssue(Args[3]);
        } catch (...) {
            ReportCurrentException();
            packingFailed = true;
        }
    }
    const bool afterFailed = !MakeAfterRun(After, Args[2], Args[1]);
    FATAL_CHECK(BrintLib::CObjectCount<ITask>::Count() == 0);
    const bool logged = LoggedErrorCount() != loggedBefore;
    PrintSummary(outcome, archive, packingFailed, logged);
    return outcome.Failed == 0 && !logged && !packingFailed && !afterFailed ? kExitSuccess : kExitFailed;
}

} // namespace

TQueueOutcome RunTaskQueue(TDownloader& Downloader)
{
    TQueueOutcome outcome;
    while (!g_TaskQueue.IsEmpty()) {
        const std::unique_ptr<ITask> task = g_TaskQueue.Pop();
        FATAL_CHECK(BrintLib::TestPtr__(task.get()));
        try {
            Downloader.Download(*task, g_TaskQueue);
            ++(task->SavesPage() ? outcome.Pages : outcome.Pictures);
        } catch (const BrintLib::TAplThrowException& e) {
            ++outcome.Failed;
            std::ostringstream entry;
            entry << task->GetUrl() << " BrintLib::TAplThrowException " << e.GetFile() << ", " << e.GetLine()
                  << ":\n\t" << e.what() << "\n"
                  << std::endl;
            LogError(entry.str());
        } catch (const std::exception& e) {
            ++outcome.Failed;
            std::ostringstream entry;
            entry << task->GetUrl() << " std::exception: " << e.what() << std::endl;
            LogError(entry.str());
        }
    }
    return outcome;
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
    int status = kExitNotStarted;
    TAfterRun after;
    const std::vector<std::string> userArgs = TakeOptions(Args, after);
    try {
        PrintBanner();
        g_IssueDir.clear();
        const std::vector<std::string> args = Start(userArgs);
        // From here on a failure ends a run that has started; an interrupted one ends with 128 + the
        // signal's number (below).
        status = kExitFailed;
        status = RunIssue(args, after);
    } catch (const BrintLib::TInterrupted&) {
        // Nothing to report: the run ended in order, nothing partial left under a file's name.
    } catch (...) {
        ReportCurrentException();
        if (userArgs.size() < 3)
            PrintExitStatuses();
    }
    if (const int interrupted = BrintLib::InterruptionExitStatus())
        return interrupted;
    return status;
}
