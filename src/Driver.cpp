#include "Driver.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "Logic.h"
#include "PopMech_Parser.h"
#include "VokrugSveta_Parser.h"
#include "libs/Auxiliary.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/Interruption.h"
#include "libs/Net/CURLTransfer.h"

using BrintLib::WriteConverted;

std::string g_IssueDir;

namespace {

/// A site handler: accepts a title-page URL and the save path, and when the URL is its site's, pushes
/// the title-page task onto g_TaskQueue and returns true.
using TSiteHandler = bool (*)(const std::string& Url, const std::string& SavePath);

/// The site handlers, asked in this order; the first that accepts the URL wins.
const TSiteHandler kSiteHandlers[2] = {PopMech::ProcessUrl, VokrugSveta::ProcessUrl};

void PrintBanner()
{
    WriteConverted(std::cout, "Skerrow - offline copy of one magazine issue") << std::endl;
    WriteConverted(std::cout, "                  https://skerrow.example.org/") << std::endl;
    WriteConverted(std::cout, "                  Skerrow developers <skerrow@example.org>\n") << std::endl;
}

void Dispatch(const std::vector<std::string>& Args)
{
    for (TSiteHandler handler : kSiteHandlers) {
        const std::string url = Args[1];
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
    constexpr size_t kLastUsedArgument = 3;
    std::vector<std::string> args(UserArgs);
    for (size_t i = 1; i < UserArgs.size() && i <= kLastUsedArgument; ++i) {
        if (!BrintLib::UserToCp1251(UserArgs[i], args[i]))
            APL_THROW("Аргумент " << i << " командной строки не может быть представлен в кодировке windows-1251");
    }
    return args;
}

void Run(const std::vector<std::string>& UserArgs)
{
    PrintBanner();
    g_IssueDir.clear();
    const std::vector<std::string> Args = ConvertArguments(UserArgs);
    if (Args.size() < 3)
        APL_THROW("Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> [Путь к WinRar.exe]");
    Dispatch(Args);
    FATAL_CHECK(!g_TaskQueue.IsEmpty());
    // From here on SIGINT and SIGTERM end the run in order (TInterrupted).
    const BrintLib::TInterruptionHandlers interruption;
    // libcurl's global initialisation happens only now that a task is queued.
    TDownloader downloader;
    RunTaskQueue(downloader);
    if (!g_IssueDir.empty() && Args.size() > 3)
        PackIssue(Args[3]);
    FATAL_CHECK(BrintLib::CObjectCount<ITask>::Count() == 0);
}

} // namespace

void RunTaskQueue(TDownloader& Downloader)
{
    while (!g_TaskQueue.IsEmpty()) {
        const std::unique_ptr<ITask> task = g_TaskQueue.Pop();
        FATAL_CHECK(BrintLib::TestPtr__(task.get()));
        try {
            Downloader.Download(*task, g_TaskQueue);
        } catch (const BrintLib::TAplThrowException& e) {
            std::ostringstream entry;
            entry << task->GetUrl() << " BrintLib::TAplThrowException " << e.GetFile() << ", " << e.GetLine()
                  << ":\n\t" << e.what() << "\n" << std::endl;
            LogError(entry.str());
        } catch (const std::exception& e) {
            std::ostringstream entry;
            entry << task->GetUrl() << " std::exception: " << e.what() << std::endl;
            LogError(entry.str());
        }
    }
}

void LogError(const std::string& Entry)
{
    WriteConverted(std::cout, Entry) << std::flush;
    std::ofstream log(BrintLib::GetModuleDir() + "errors.txt", std::ios::app);
    log << Entry;
}

int RunSkerrow(const std::vector<std::string>& Args)
{
    try {
        Run(Args);
    } catch (const BrintLib::TInterrupted&) {
    } catch (const BrintLib::TSilentException&) {
    } catch (const BrintLib::TAplThrowException& e) {
        BrintLib::ReportAplException(e.GetFile(), e.GetLine(), e.what());
    } catch (const std::exception& e) {
        BrintLib::ReportStdException(e.what());
    } catch (...) {
        BrintLib::ReportUnknownException();
    }
    return BrintLib::InterruptionExitStatus();
}
