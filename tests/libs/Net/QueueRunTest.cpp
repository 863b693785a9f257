// The driver's run of the task queue through the transfer engine, with the error log.
//
// The error log lives beside the executable, which other test programs share; so the run that writes it
// happens in a child: this test program, linked into a temporary directory and started there with a
// filter that selects the disabled child test below.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Driver.h"
#include "Logic.h"
#include "libs/FileSystem.h"
#include "libs/Net/CURLTransfer.h"
#include "support/LoopbackTransfer.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

namespace fs = std::filesystem;
using TestSupport::ReadFile;
using TestSupport::TTempDir;
using TestSupport::TTestHttpServer;

namespace {

const char kServerVariable[] = "SKERROW_QUEUE_RUN_SERVER";
const char kOutputVariable[] = "SKERROW_QUEUE_RUN_DIR";

/// A task that fails in Begin with Failure, before any transfer.
template <typename TFailure> class TFailingTask : public ITask {
  public:
    TFailingTask(std::string Url, TFailure Failure) : m_Url(std::move(Url)), m_Failure(std::move(Failure)) {}
    const std::string& GetUrl() const override { return m_Url; }
    void Begin() override { throw m_Failure; }
    void Receive(const char*, size_t) override {}
    void Finish() override {}

  private:
    std::string m_Url;
    TFailure m_Failure;
};

/// A page processor that queues one more picture while its page finishes.
struct TQueueingProcessor {
    std::string Base;
    std::string Out;
    std::string Process(std::string& /*Page*/)
    {
        g_TaskQueue.Push(std::make_unique<TDownloadFile>(Base + "/04.jpg", Out + "/04.jpg"));
        return Out + "/index.htm";
    }
};

} // namespace

// Started only by QueueRun.EachFailingTaskIsLoggedOnceAndTheOthersComplete..., in a child process.
TEST(QueueRunChild, DISABLED_RunQueue)
{
    const char* base = std::getenv(kServerVariable);
    const char* out = std::getenv(kOutputVariable);
    if (base == nullptr || out == nullptr)
        GTEST_SKIP() << "started by QueueRun tests only";
    const std::string b = base;
    const std::string o = out;
    // Both console streams in one, as a terminal shows them: the failure reports among the lines.
    ASSERT_EQ(dup2(STDOUT_FILENO, STDERR_FILENO), STDERR_FILENO);
    g_TaskQueue.Push(std::make_unique<TDownloadFile>(b + "/01.jpg", o + "/01.jpg"));
    g_TaskQueue.Push(std::make_unique<TDownloadFile>(b + "/02.jpg", o + "/02.jpg"));
    auto page = std::make_unique<TDownloadAndProcess<TQueueingProcessor>>(b + "/index.htm");
    page->m_Processor.Base = b;
    page->m_Processor.Out = o;
    g_TaskQueue.Push(std::move(page));
    g_TaskQueue.Push(std::make_unique<TDownloadFile>(b + "/03.jpg", o + "/03.jpg"));
    g_TaskQueue.Push(std::make_unique<TFailingTask<std::runtime_error>>(b + "/05.jpg",
                                                                        std::runtime_error("disk on fire")));
    g_TaskQueue.Push(std::make_unique<TDownloadFile>(b + "/06.jpg", o + "/06.jpg"));
    g_TaskQueue.Push(std::make_unique<TDownloadFile>(b + "/07.jpg", o + "/07.jpg"));

    TDownloader downloader;
    TQueueOutcome outcome;
    RunTaskQueue(downloader, outcome);
    EXPECT_TRUE(g_TaskQueue.IsEmpty());
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), 0u);
}

TEST(QueueRun, EachFailingTaskIsLoggedOnceAndTheOthersCompleteWithOneOrManyTransfersInFlight)
{
    TTempDir dir;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const std::string exe = dir / self.filename().string();
    std::error_code linkError;
    fs::create_hard_link(self, exe, linkError);
    if (linkError)
        fs::copy_file(self, exe);
    std::string firstConsole;
    for (const char* connections : {"1", "6"}) {
        SCOPED_TRACE(connections);
        TTestHttpServer server;
        server.SetReply("/01.jpg", {200, TestSupport::MakePicture("picture 1")});
        server.SetReply("/02.jpg", {404, "no picture 2"});
        server.SetReply("/index.htm", {200, "contents"});
        server.SetReply("/03.jpg", {200, TestSupport::MakePicture("picture 3")});
        server.SetReply("/04.jpg", {200, TestSupport::MakePicture("picture 4")});
        // Busy at first: tried again after a pause.
        server.SetReplies("/06.jpg", {{503, "busy"}, {200, TestSupport::MakePicture("picture 6")}});
        // A page where a picture should be: no picture, though its transfer succeeds.
        server.SetReply("/07.jpg", {200, "<html>", {{"Content-Type", "text/html"}}});

        const std::string out = dir / (std::string("issue-") + connections);
        ASSERT_EQ(BrintLib::CreateFullPath(out), 0u);
        const std::string log = dir / "errors.txt";
        fs::remove(log);
        {
            BrintLib::TNewFile earlier;
            ASSERT_EQ(earlier.Create(log), 0);
            ASSERT_EQ(earlier.Write("earlier run\n", 12), 0);
        }

        const std::string b = server.BaseUrl();
        const auto run = TestSupport::RunProcess(
            {exe, "--gtest_filter=QueueRunChild.DISABLED_RunQueue", "--gtest_also_run_disabled_tests"},
            {std::string(kServerVariable) + "=" + b, std::string(kOutputVariable) + "=" + out,
             "http_proxy=", "LANG=C.UTF-8", "LC_ALL=", std::string("SKERROW_CONNECTIONS=") + connections});
        ASSERT_EQ(run.ExitStatus, 0) << run.Stdout << run.Stderr;
        ASSERT_NE(run.Stdout.find("[  PASSED  ] 1 test"), std::string::npos) << run.Stdout;

        // Every task was asked for once, the busy one twice; one at a time, in queue order, the one that the
        // page queued last.
        std::vector<std::string> requests = server.Requests();
        std::vector<std::string> expectedRequests = {"/01.jpg", "/02.jpg", "/index.htm", "/03.jpg",
                                                     "/06.jpg", "/06.jpg", "/07.jpg",    "/04.jpg"};
        if (connections != std::string("1")) {
            std::sort(requests.begin(), requests.end());
            std::sort(expectedRequests.begin(), expectedRequests.end());
        }
        EXPECT_EQ(requests, expectedRequests);
        EXPECT_EQ(ReadFile(out + "/01.jpg"), TestSupport::MakePicture("picture 1"));
        EXPECT_EQ(ReadFile(out + "/index.htm"), "contents");
        EXPECT_EQ(ReadFile(out + "/03.jpg"), TestSupport::MakePicture("picture 3"));
        EXPECT_EQ(ReadFile(out + "/04.jpg"), TestSupport::MakePicture("picture 4"));
        EXPECT_EQ(ReadFile(out + "/06.jpg"), TestSupport::MakePicture("picture 6"));
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 5) << "no other file";

        // One entry per failed task, after what the log held; the lines of the raises are not fixed here.
        std::string entries = ReadFile(log);
        // A build through a compiler cache names the sources relative to the build directory.
        for (size_t at; (at = entries.find("../")) != std::string::npos;)
            entries.erase(at, 3);
        for (const std::string source : {"src/libs/Net/CURLTransfer.cpp, ", "src/Logic.cpp, "}) {
            const size_t at = entries.find(source);
            ASSERT_NE(at, std::string::npos) << entries;
            const size_t digits = entries.find_first_not_of("0123456789", at + source.size());
            EXPECT_GT(digits, at + source.size());
            entries.replace(at + source.size(), digits - at - source.size(), "N");
        }
        const std::string expected =
            "earlier run\n" + b + "/02.jpg BrintLib::TAplThrowException src/libs/Net/CURLTransfer.cpp, N:\n" +
            "\tTransfer error: server return error code 404 URL: " + b + "/02.jpg\n\n" + b +
            "/05.jpg std::exception: disk on fire\n" + b +
            "/07.jpg BrintLib::TAplThrowException src/Logic.cpp, " +
            "N:\n\tTransfer error: не картинка: пришла страница HTML (Content-Type: text/html) URL: " + b +
            "/07.jpg\n\n";
        EXPECT_EQ(entries, expected);

        // The console shows each task's line and echoes each entry, in queue order whatever N is.
        const std::string& console = run.Stdout;
        size_t position = 0;
        for (const std::string& line :
             {"Download: " + b + "/01.jpg\n", "Download: " + b + "/02.jpg\n",
              b + "/02.jpg BrintLib::TAplThrowException ", "Download: " + b + "/index.htm\n",
              "Processing: " + b + "/index.htm\n", "Download: " + b + "/03.jpg\n",
              "Download: " + b + "/05.jpg\n" + b + "/05.jpg std::exception: disk on fire\n",
              "Download: " + b + "/06.jpg\n", "Download: " + b + "/07.jpg\n",
              "Download: " + b + "/04.jpg\n"}) {
            const size_t found = console.find(line, position);
            ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << console;
            position = found + line.size();
        }
        const size_t begin = console.find("Download: ");
        const size_t end = console.find("[       OK ]");
        ASSERT_LT(begin, end);
        std::string shown = console.substr(begin, end - begin);
        // The port differs from run to run.
        for (size_t p = 0; (p = shown.find(b, p)) != std::string::npos;)
            shown.replace(p, b.size(), "BASE");
        if (firstConsole.empty())
            firstConsole = shown;
        EXPECT_EQ(shown, firstConsole);
    }
}

TEST(QueueRun, ExceptionOfNoKnownKindFailsItsTaskOnlyAndIsCounted)
{
    const size_t before = BrintLib::CObjectCount<ITask>::Count();
    const TestSupport::TPrivateErrorLog log;
    g_TaskQueue.Push(std::make_unique<TFailingTask<int>>("http://127.0.0.1:1/a", 42));
    g_TaskQueue.Push(std::make_unique<TFailingTask<int>>("http://127.0.0.1:1/b", 43));
    TDownloader downloader;
    ::testing::internal::CaptureStdout();
    TQueueOutcome outcome;
    RunTaskQueue(downloader, outcome);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome.Failed, 2u);
    EXPECT_EQ(ReadFile(log.Path()),
              "http://127.0.0.1:1/a unknown exception\nhttp://127.0.0.1:1/b unknown exception\n");
    EXPECT_EQ(BrintLib::CObjectCount<ITask>::Count(), before);
    EXPECT_TRUE(g_TaskQueue.IsEmpty());
}
