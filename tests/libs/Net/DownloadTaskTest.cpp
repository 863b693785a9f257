// The two task kinds, run by the real transfer engine against a real HTTP server and real directories.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Logic.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/Interruption.h"
#include "support/AplFailure.h"
#include "support/LoopbackTransfer.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

using TestSupport::FailureOf;
using TestSupport::MakeBody;
using TestSupport::MakePicture;
using TestSupport::ReadFile;
using TestSupport::THttpReply;
using TestSupport::TTempDir;
using TestSupport::WriteFile;

namespace {

/// The file that Action found saved already (TAlreadySaved); empty when Action raised nothing.
std::string AlreadySavedOf(const std::function<void()>& Action)
{
    try {
        Action();
    } catch (const TAlreadySaved& e) {
        return e.File;
    }
    return std::string();
}

/// Little-endian 32 bits, for the size fields of the pictures below.
std::string Le32(uint32_t Value)
{
    std::string bytes;
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(Value >> (8 * i) & 0xFF);
    return bytes;
}

/// A picture of every kind a browser decodes, in the shape its signature and end want; Filler inside.
std::string Png(const std::string& Filler)
{
    return std::string("\x89PNG\r\n\x1A\n", 8) + Filler + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
}
std::string Gif(const std::string& Filler)
{
    return "GIF89a" + Filler + ";";
}
std::string WebP(const std::string& Filler)
{
    return "RIFF" + Le32(static_cast<uint32_t>(Filler.size() + 8)) + "WEBPVP8 " + Filler;
}
std::string Bmp(const std::string& Filler)
{
    return "BM" + Le32(static_cast<uint32_t>(Filler.size() + 18)) + std::string(4, '\0') + Le32(54) +
           Le32(40) + Filler;
}
const std::string kIco = std::string("\0\0\1\0\1\0", 6) + "icon";
const std::string kAvif =
    std::string("\0\0\0\x18", 4) + "ftypmif1" + std::string(4, '\0') + "mif1avif" + "mdat";
/// An SVG after a preamble longer than the first bytes that tell the other kinds.
const std::string kSvg =
    "\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- " + std::string(600, '-').replace(0, 1, "x") +
    " -->\n<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"svg11.dtd\" [ <!ENTITY a \"b>\"> ]>\n"
    "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect width=\"1\" height=\"1\"/></svg>\n";

/// What a page processor of the tests saw and did.
struct TProcessLog {
    std::vector<std::string> Pages; ///< every page handed to Process
    std::string SideEffectDir;      ///< created by Process, before it returns
};

/// A page processor: records the page, creates a directory as its side effect, and turns the page into
/// "<processed>" + page; or raises when Raise is set.
struct TTestProcessor {
    std::string OutputFile;
    TProcessLog* Log = nullptr;
    bool Raise = false;

    std::string Process(std::string& Page)
    {
        Log->Pages.push_back(Page);
        EXPECT_EQ(BrintLib::CreateFullPath(Log->SideEffectDir), 0u);
        if (Raise)
            APL_THROW("Страница неожиданного вида");
        Page = "<processed>" + Page;
        return OutputFile;
    }
};

using TPageTask = TDownloadAndProcess<TTestProcessor>;

class DownloadTask : public TestSupport::TLoopbackTransferTest {
  protected:
    std::unique_ptr<TPageTask> MakePageTask(const std::string& Path, const std::string& OutputFile)
    {
        auto task = std::make_unique<TPageTask>(m_Server.Url(Path));
        task->m_Processor.OutputFile = OutputFile;
        task->m_Processor.Log = &m_Log;
        m_Log.SideEffectDir = m_Dir / "side/effect";
        return task;
    }

    TTempDir m_Dir;
    TProcessLog m_Log;
};

} // namespace

TEST_F(DownloadTask, FileGetsTheBodyByteForByte)
{
    const struct {
        const char* Name;
        std::string Body;
        const char* Leftover;    ///< what a killed run left in the file's temporary, or null
        const char* Encoding;    ///< the body's Content-Encoding, or null
        bool CutFirst;           ///< the first attempt is cut short, the second whole
        const char* ContentType; ///< what the server calls it, or null: no word on it
    } cases[] = {
        {"big.bin", MakePicture(MakeBody(3 * 1024 * 1024 + 5)), nullptr, nullptr, false, nullptr},
        {"crlf.jpg", MakePicture(std::string("line\r\nline\n\r\0end", 16)), nullptr, nullptr, false, nullptr},
        {"again.jpg", MakePicture("whole picture"), "half a pic", nullptr, false, nullptr},
        {"packed.jpg", MakePicture(MakeBody(200000)), nullptr, "gzip", false, nullptr},
        {"retried.jpg", MakePicture(MakeBody(200000)), nullptr, nullptr, true, nullptr},
        // A picture is what its bytes are, whatever its name or its Content-Type.
        {"labelled-html.jpg", MakePicture("real"), nullptr, nullptr, false, "text/html"},
        {"labelled-text.jpg", MakePicture("real"), nullptr, nullptr, false, "text/plain; charset=utf-8"},
        {"trailer.jpg", MakePicture("camera") + std::string(100, '\0'), nullptr, nullptr, false, nullptr},
        {"p.png", Png(MakeBody(3000)), nullptr, nullptr, false, "image/png"},
        {"g.gif", Gif("pixels"), nullptr, nullptr, false, "image/gif"},
        {"w.webp", WebP("frame"), nullptr, nullptr, false, "image/webp"},
        {"b.bmp", Bmp("pixels"), nullptr, nullptr, false, "image/bmp"},
        {"i.ico", kIco, nullptr, nullptr, false, "image/x-icon"},
        {"a.avif", kAvif, nullptr, nullptr, false, "image/avif"},
        {"s.svg", kSvg, nullptr, nullptr, false, "image/svg+xml"},
        {"svg-as-text.svg", "<svg></svg>", nullptr, nullptr, false, "text/plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string temporary = BrintLib::TAtomicFile::TemporaryPath(m_Dir / c.Name);
        // Another run's temporary of the same file is not this run's to touch.
        const std::string another = m_Dir / (std::string(".") + c.Name + ".1.part");
        if (c.Leftover != nullptr)
            WriteFile(another, c.Leftover);
        THttpReply whole{200, c.Body};
        if (c.Encoding != nullptr)
            whole = {200, TestSupport::Compress(c.Body, c.Encoding), {{"Content-Encoding", c.Encoding}}};
        if (c.ContentType != nullptr)
            whole.Headers.emplace_back("Content-Type", c.ContentType);
        THttpReply cut = whole;
        cut.DropAfter = c.Body.size() / 2;
        m_Server.SetReplies(std::string("/") + c.Name, c.CutFirst ? std::vector<THttpReply>{cut, whole}
                                                                  : std::vector<THttpReply>{whole});
        TDownloadFile task(m_Server.Url(std::string("/") + c.Name), m_Dir / c.Name);
        m_Downloader.Download(task);
        EXPECT_TRUE(ReadFile(m_Dir / c.Name) == c.Body);
        EXPECT_TRUE(BrintLib::PathExists(m_Dir / c.Name));
        EXPECT_FALSE(BrintLib::PathExists(temporary));
        if (c.Leftover != nullptr) {
            EXPECT_EQ(ReadFile(another), c.Leftover);
        }
    }
}

TEST_F(DownloadTask, FailedTransferLeavesNeitherFileNorTemporary)
{
    const TestSupport::TEnvironmentVariable maxPicture("SKERROW_MAX_PICTURE_MB", "1");
    const std::string body = MakePicture(MakeBody(1024 * 1024 - 6));
    m_Server.SetReply("/missing.jpg", {404, "<h1>Not here</h1>"});
    m_Server.SetReply("/page.jpg",
                      {200, "<h1>Not here</h1>", {{"Content-Type", "Text/HTML; charset=utf-8"}}});
    m_Server.SetReply("/empty.gif", {200, "", {{"Content-Type", "image/gif"}}});
    // Replies that are no picture, whatever they are called, and pictures cut short.
    const std::string notFound =
        "<?xml version=\"1.0\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><body>Not "
        "found</body></html>";
    const struct {
        const char* Path;
        std::string Body;
        const char* ContentType;
        const char* WhatCame;
    } refused[] = {
        {"/xhtml.jpg", notFound, "application/xhtml+xml", "пришла страница XHTML"},
        {"/text.jpg", "File not found", "text/plain", "пришёл текст"},
        {"/json.png", "{\"error\": 404}", "application/json", "пришли данные JSON"},
        {"/html-as-jpeg.jpg", "\n<!DOCTYPE html><title>404</title>", "image/jpeg", "пришла страница HTML"},
        {"/noise.jpg", MakeBody(5000), "image/jpeg", "пришли данные неизвестного вида"},
        {"/cut.jpg", MakePicture(MakeBody(5000)).substr(0, 4000), "image/jpeg",
         "пришла оборванная картинка JPEG"},
        {"/cut.png", Png(MakeBody(5000)).substr(0, 4000), "image/png", "пришла оборванная картинка PNG"},
        {"/cut.gif", Gif("pixels").substr(0, 10), "image/gif", "пришла оборванная картинка GIF"},
        {"/cut.webp", WebP(MakeBody(5000)).substr(0, 4000), "image/webp", "пришла оборванная картинка WebP"},
        {"/cut.svg", kSvg.substr(0, kSvg.size() - 20), "image/svg+xml", "пришла оборванная картинка SVG"},
    };
    for (const auto& r : refused)
        m_Server.SetReply(r.Path, {200, r.Body, {{"Content-Type", r.ContentType}}});
    m_Server.SetReply("/huge.jpg", {200, body + MakeBody(1024 * 1024)});
    THttpReply dropped{200, body};
    dropped.DropAfter = 300000;
    m_Server.SetReply("/dropped.jpg", dropped);
    THttpReply stalled{200, body};
    stalled.StallAfter = 300000;
    m_Server.SetReply("/stalled.jpg", stalled);
    m_Server.SetReply("/big.bin", {200, body});
    const std::string target = m_Dir / "01.jpg";
    struct TCase {
        std::string Path;
        std::string Failure;
        bool Interrupt;
    };
    std::vector<TCase> cases = {
        {"/missing.jpg", "Transfer error: server return error code 404 URL: " + m_Server.Url("/missing.jpg"),
         false},
        {"/dropped.jpg",
         "Transfer error: transfer closed with 748576 bytes remaining to read URL: " +
             m_Server.Url("/dropped.jpg"),
         false},
        {"/page.jpg",
         "Transfer error: не картинка: пришла страница HTML (Content-Type: Text/HTML; charset=utf-8) URL: " +
             m_Server.Url("/page.jpg"),
         false},
        {"/empty.gif",
         "Transfer error: не картинка: пришёл пустой ответ (Content-Type: image/gif) URL: " +
             m_Server.Url("/empty.gif"),
         false},
        {"/huge.jpg",
         "Transfer error: picture too large (more than 1048576 bytes) URL: " + m_Server.Url("/huge.jpg"),
         false},
        {"/big.bin", "Ошибка при записи " + target + ": File too large", false}, // a full disk, below
        {"/stalled.jpg", "interrupted", true},
    };
    for (const auto& r : refused)
        cases.push_back({r.Path,
                         std::string("Transfer error: не картинка: ") + r.WhatCame +
                             " (Content-Type: " + r.ContentType + ") URL: " + m_Server.Url(r.Path),
                         false});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const size_t requestsBefore = m_Server.Requests().size();
        std::string failure;
        {
            TDownloadFile task(m_Server.Url(c.Path), target);
            // A full disk for the picture written whole.
            const TestSupport::TFileSizeLimit full(c.Path == "/big.bin" ? 64 * 1024 : RLIM_INFINITY);
            const BrintLib::TInterruptionHandlers handlers;
            std::thread interrupter;
            if (c.Interrupt) {
                const pthread_t self = pthread_self();
                interrupter = std::thread([&, self] {
                    if (m_Server.WaitForRequests(requestsBefore + 1, std::chrono::seconds(30)))
                        pthread_kill(self, SIGTERM);
                });
            }
            try {
                failure = FailureOf([&] { m_Downloader.Download(task); });
            } catch (const BrintLib::TInterrupted& e) {
                EXPECT_EQ(e.Signal(), SIGTERM);
                failure = "interrupted";
                // The temporary is there until its task goes.
                EXPECT_TRUE(BrintLib::PathExists(BrintLib::TAtomicFile::TemporaryPath(target)));
            }
            if (interrupter.joinable())
                interrupter.join();
        }
        BrintLib::ClearInterruption();
        EXPECT_EQ(failure, c.Failure);
        EXPECT_FALSE(BrintLib::PathExists(target));
        EXPECT_FALSE(BrintLib::PathExists(BrintLib::TAtomicFile::TemporaryPath(target)));
    }

    // The same engine goes on.
    TDownloadFile again(m_Server.Url("/big.bin"), m_Dir / "again.bin");
    m_Downloader.Download(again);
    EXPECT_TRUE(ReadFile(m_Dir / "again.bin") == body);
}

TEST_F(DownloadTask, ExistingPictureIsNeverTouchedNorAskedForButOneThatIsNoneIsFetchedAgain)
{
    const std::string fresh = MakePicture("new picture");
    m_Server.SetReply("/01.jpg", {200, fresh});
    const std::string existing = m_Dir / "existing.jpg";
    WriteFile(existing, MakePicture("old picture"));
    const std::string dangling = m_Dir / "dangling.jpg"; // a link planted at the target
    ASSERT_EQ(symlink((m_Dir / "elsewhere.jpg").c_str(), dangling.c_str()), 0);
    const std::string linkToFile = m_Dir / "link.jpg";
    ASSERT_EQ(symlink(existing.c_str(), linkToFile.c_str()), 0);
    const std::string directory = m_Dir / "dir.jpg";
    ASSERT_EQ(mkdir(directory.c_str(), 0777), 0);
    // Files that an older version or a cut transfer left: no whole picture, so not saved.
    const struct {
        const char* Name;
        std::string Content;
        bool Saved;
    } files[] = {
        {"whole.png", Png("pixels"), true},
        {"whole.gif", Gif("pixels"), true},
        {"whole.svg", kSvg, true},
        {"text.jpg", "old picture", false},
        {"page.jpg", "<html>Not found</html>", false},
        {"empty.jpg", "", false},
        {"cut.jpg", MakePicture(MakeBody(3000)).substr(0, 2000), false},
        {"cut.png", Png(MakeBody(3000)).substr(0, 2000), false},
        {"cut.gif", Gif("pixels").substr(0, 8), false},
    };
    std::vector<std::pair<std::string, bool>> targets = {
        {existing, true}, {dangling, true}, {linkToFile, true}, {directory, true}};
    for (const auto& f : files) {
        WriteFile(m_Dir / f.Name, f.Content);
        targets.emplace_back(m_Dir / f.Name, f.Saved);
    }

    size_t requests = 0;
    for (const auto& [target, saved] : targets) {
        SCOPED_TRACE(target);
        const std::string before = saved ? std::string() : ReadFile(target);
        TDownloadFile task(m_Server.Url("/01.jpg"), target);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(AlreadySavedOf([&] { m_Downloader.Download(task); }), saved ? target : std::string());
        const std::string console = ::testing::internal::GetCapturedStdout();
        requests += saved ? 0 : 1;
        EXPECT_EQ(m_Server.Requests().size(), requests);
        if (!saved) {
            EXPECT_EQ(console, "Download: " + task.GetUrl() + "\n");
            EXPECT_TRUE(ReadFile(target) == fresh);
        }
    }
    EXPECT_TRUE(ReadFile(existing) == MakePicture("old picture"));
    EXPECT_TRUE(ReadFile(m_Dir / "whole.svg") == kSvg);
    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "elsewhere.jpg"));
}

TEST_F(DownloadTask, TargetThatCannotBeCreatedFailsBeforeAnyRequest)
{
    const std::string target = m_Dir / "no/such/dir/01.jpg";
    TDownloadFile task(m_Server.Url("/01.jpg"), target);
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(task); }),
              "Ошибка при открытии файла " + target + ": No such file or directory");
    EXPECT_TRUE(m_Server.Requests().empty());
}

TEST_F(DownloadTask, PageIsProcessedAndWrittenAfterItsDownloadLine)
{
    std::string page = MakeBody(2 * 1024 * 1024);
    page += "Содержание номера\r\n";
    m_Server.SetReply("/index.htm", {200, page});
    const std::string output = m_Dir / "2007_05_00.htm";
    auto task = MakePageTask("/index.htm", output);
    ::testing::internal::CaptureStdout();
    m_Downloader.Download(*task);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Download: " + task->GetUrl() + "\nProcessing: " + task->GetUrl() + "\n");
    ASSERT_EQ(m_Log.Pages.size(), 1u);
    EXPECT_TRUE(m_Log.Pages[0] == page);
    EXPECT_TRUE(ReadFile(output) == "<processed>" + page);
}

TEST_F(DownloadTask, EmptyPageIsStillProcessed)
{
    m_Server.SetReply("/empty.htm", {200, ""});
    auto task = MakePageTask("/empty.htm", m_Dir / "empty.htm");
    m_Downloader.Download(*task);
    EXPECT_EQ(m_Log.Pages, std::vector<std::string>{""});
    EXPECT_EQ(ReadFile(m_Dir / "empty.htm"), "<processed>");
}

TEST_F(DownloadTask, ExistingPageFileIsUntouchedAfterTheProcessorRan)
{
    m_Server.SetReply("/index.htm", {200, "page"});
    const std::string output = m_Dir / "2007_05_00.htm";
    WriteFile(output, "saved earlier");
    auto task = MakePageTask("/index.htm", output);
    EXPECT_EQ(AlreadySavedOf([&] { m_Downloader.Download(*task); }), output);
    EXPECT_EQ(m_Log.Pages, std::vector<std::string>{"page"});
    EXPECT_TRUE(BrintLib::PathExists(m_Log.SideEffectDir));
    EXPECT_EQ(ReadFile(output), "saved earlier");
}

TEST_F(DownloadTask, NothingIsWrittenWhenTheProcessorOrTheTransferFails)
{
    m_Server.SetReply("/index.htm", {200, "odd page"});
    auto raising = MakePageTask("/index.htm", m_Dir / "a.htm");
    raising->m_Processor.Raise = true;
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(*raising); }), "Страница неожиданного вида");
    EXPECT_TRUE(BrintLib::PathExists(m_Log.SideEffectDir));

    m_Server.SetReply("/gone.htm", {404, "error page"});
    auto failedTransfer = MakePageTask("/gone.htm", m_Dir / "b.htm");
    ::testing::internal::CaptureStdout();
    FailureOf([&] { m_Downloader.Download(*failedTransfer); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Download: " + failedTransfer->GetUrl() + "\n");
    EXPECT_EQ(m_Log.Pages, std::vector<std::string>{"odd page"}); // not called for the failed transfer

    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "a.htm"));
    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "b.htm"));
}

TEST_F(DownloadTask, PageThatCannotBeWrittenWholeFails)
{
    const std::string page = MakeBody(256 * 1024);
    m_Server.SetReply("/index.htm", {200, page});
    const std::string output = m_Dir / "big.htm";
    auto task = MakePageTask("/index.htm", output);
    const TestSupport::TFileSizeLimit full(1024);
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(*task); }),
              "Ошибка при записи " + output + ": File too large");
    EXPECT_FALSE(BrintLib::PathExists(output));
    EXPECT_FALSE(BrintLib::PathExists(BrintLib::TAtomicFile::TemporaryPath(output)));
    auto noDirectory = MakePageTask("/index.htm", m_Dir / "missing/x.htm");
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(*noDirectory); }),
              "Ошибка при открытии файла " + m_Dir / "missing/x.htm" + ": No such file or directory");
}

TEST_F(DownloadTask, PageLargerThanItsBoundFailsWithoutBeingHeld)
{
    THttpReply endless{200, std::string(kMaxPageBytes + 1, 'x')};
    m_Server.SetReply("/endless.htm", endless);
    auto task = MakePageTask("/endless.htm", m_Dir / "endless.htm");
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(*task); }),
              "Transfer error: page too large (more than 67108864 bytes) URL: " + task->GetUrl());
    EXPECT_TRUE(m_Log.Pages.empty());
    EXPECT_FALSE(BrintLib::PathExists(m_Dir / "endless.htm"));
}

TEST_F(DownloadTask, OverlappedTasksMakeNoRequestTheirTurnWouldNotMake)
{
    // One at a time, the second task into a.jpg and the task into an existing file find it saved at their
    // turn, without a request; six at once must do the same, though the tasks behind them start early.
    m_Server.SetReply("/a1.jpg", {200, MakePicture("first a")});
    m_Server.SetReply("/a2.jpg", {200, MakePicture("second a")});
    m_Server.SetReply("/b.jpg", {200, MakePicture("new b")});
    m_Server.SetReply("/c.jpg", {200, MakePicture("c")});
    WriteFile(m_Dir / "b.jpg", MakePicture("old b"));
    TDownloader downloader(6);
    TTaskQueue queue;
    queue.Push(std::make_unique<TDownloadFile>(m_Server.Url("/a1.jpg"), m_Dir / "a.jpg"));
    queue.Push(std::make_unique<TDownloadFile>(m_Server.Url("/a2.jpg"), m_Dir / "a.jpg"));
    queue.Push(std::make_unique<TDownloadFile>(m_Server.Url("/b.jpg"), m_Dir / "b.jpg"));
    queue.Push(std::make_unique<TDownloadFile>(m_Server.Url("/c.jpg"), m_Dir / "c.jpg"));
    std::vector<std::string> failures;
    while (!queue.IsEmpty()) {
        const std::unique_ptr<ITask> task = queue.Pop();
        try {
            downloader.Download(*task, queue);
            failures.emplace_back();
        } catch (const TAlreadySaved& e) {
            failures.push_back("saved " + e.File);
        }
    }
    EXPECT_EQ(failures,
              (std::vector<std::string>{"", "saved " + m_Dir / "a.jpg", "saved " + m_Dir / "b.jpg", ""}));
    EXPECT_EQ(ReadFile(m_Dir / "a.jpg"), MakePicture("first a"));
    EXPECT_EQ(ReadFile(m_Dir / "b.jpg"), MakePicture("old b"));
    EXPECT_EQ(ReadFile(m_Dir / "c.jpg"), MakePicture("c"));
    std::vector<std::string> requests = m_Server.Requests();
    std::sort(requests.begin(), requests.end());
    EXPECT_EQ(requests, (std::vector<std::string>{"/a1.jpg", "/c.jpg"}));
}
