// The transfer engine against a real HTTP server on loopback.

#include "libs/CoutConvert.h"
#include "libs/Net/CURLTransfer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Logic.h"
#include "libs/Exceptions.h"
#include "libs/Interruption.h"
#include "support/AplFailure.h"
#include "support/LoopbackTransfer.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

using TestSupport::FailureOf;
using TestSupport::MakeBody;
using TestSupport::THttpReply;

namespace {

/// Records every call the engine makes, and the bytes it is given.
class TRecordingTask : public ITask {
  public:
    explicit TRecordingTask(std::string Url) : m_Url(std::move(Url)) {}

    const std::string& GetUrl() const override { return m_Url; }
    std::string Destination() const override { return DestinationName; }
    void Begin() override
    {
        Calls.push_back("Begin");
        Body.clear(); // a new attempt
        if (OnBegin)
            OnBegin();
    }
    void Reply(const TReply& Reply) override
    {
        Calls.push_back("Reply");
        Replies.push_back(Reply.Url + " " + Reply.ContentType);
    }
    void Receive(const char* Data, size_t Length) override
    {
        Calls.push_back("Receive");
        Body.append(Data, Length);
        if (OnReceive)
            OnReceive(Body.size());
    }
    void Finish() override
    {
        Calls.push_back("Finish");
        if (OnFinish)
            OnFinish();
    }

    /// The calls in order, with runs of Receive collapsed into one.
    std::vector<std::string> CallSummary() const
    {
        std::vector<std::string> summary;
        for (const std::string& call : Calls)
            if (summary.empty() || summary.back() != call)
                summary.push_back(call);
        return summary;
    }
    size_t ReceiveCount() const
    {
        size_t count = 0;
        for (const std::string& call : Calls)
            count += call == "Receive";
        return count;
    }

    std::vector<std::string> Calls;
    std::vector<std::string> Replies; ///< the address and the Content-Type of each Reply
    std::string Body;
    std::string DestinationName; ///< a file task's (whose Begin and Receive may run on the file thread)
    std::function<void()> OnBegin;
    std::function<void(size_t ReceivedSoFar)> OnReceive;
    std::function<void()> OnFinish;

  private:
    std::string m_Url;
};

/// A loopback port with nothing listening on it.
int ClosedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    return ntohs(address.sin_port);
}

std::string TransferError(const std::string& Text, const std::string& Url)
{
    return "Transfer error: " + Text + " URL: " + Url;
}

class Transfer : public TestSupport::TLoopbackTransferTest {
  protected:
    void SetUp() override
    {
        TLoopbackTransferTest::SetUp();
        m_Server.SetReply("/ok", {200, "fine"});
    }

    /// The engine serves a normal transfer: run after every failure.
    void ExpectEngineStillWorks()
    {
        TRecordingTask task(m_Server.Url("/ok"));
        m_Downloader.Download(task);
        EXPECT_EQ(task.Body, "fine");
        EXPECT_EQ(task.CallSummary(), (std::vector<std::string>{"Begin", "Reply", "Receive", "Finish"}));
    }
};

const std::vector<std::string> kBeginOnly = {"Begin"};
const std::vector<std::string> kBeginReceive = {"Begin", "Reply", "Receive"};
const std::vector<std::string> kComplete = {"Begin", "Reply", "Receive", "Finish"};

} // namespace

TEST_F(Transfer, LargeBodyReachesTheTaskInOrderInManyChunks)
{
    const std::string body = MakeBody(5 * 1024 * 1024 + 17);
    m_Server.SetReply("/big.bin", {200, body});
    TRecordingTask task(m_Server.Url("/big.bin"));
    m_Downloader.Download(task);
    EXPECT_EQ(task.CallSummary(), kComplete);
    EXPECT_GT(task.ReceiveCount(), 10u);
    EXPECT_TRUE(task.Body == body) << "received " << task.Body.size() << " bytes";
}

TEST_F(Transfer, EmptyBodyGivesBeginAndFinishWithoutReceive)
{
    m_Server.SetReply("/empty", {200, ""});
    TRecordingTask task(m_Server.Url("/empty"));
    m_Downloader.Download(task);
    EXPECT_EQ(task.Calls, (std::vector<std::string>{"Begin", "Reply", "Finish"}));
}

TEST_F(Transfer, EveryStatusButTwoHundredFailsOnceTheHeadersHaveCome)
{
    struct TCase {
        int Status;
        std::vector<std::pair<std::string, std::string>> Headers;
        std::string Body;
    };
    const TCase cases[] = {
        {404, {}, "error page 404"},
        {300, {{"Location", "/ok"}}, "error page 300"}, // a redirect that is not followed names its Location
        {304, {}, ""},
        {302, {}, "error page 302"}, // nowhere to go
        {500, {}, "error page 500"},
        {204, {}, ""},
        // A body far beyond what the socket buffers hold: it is never read.
        {500, {}, MakeBody(64 * 1024 * 1024)},
        // The body of an error page would never end: the headers decide alone.
        {404, {{"Content-Length", "100000000000"}}, "x"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Status);
        const std::string path = "/status/" + std::to_string(c.Status) + "/" + std::to_string(c.Body.size());
        THttpReply reply{c.Status, c.Body, c.Headers};
        reply.StallAfter = c.Body.size() > 1 ? c.Body.size() / 2 : THttpReply::kNoDrop;
        m_Server.SetReply(path, reply);
        const size_t requestsBefore = m_Server.Requests().size();
        TRecordingTask task(m_Server.Url(path));
        EXPECT_EQ(FailureOf([&] { m_Downloader.Download(task); }),
                  "Transfer error: server return error code " + std::to_string(c.Status) +
                      " URL: " + task.GetUrl() + (c.Status == 300 ? " Location: /ok" : ""));
        EXPECT_EQ(task.Body, "");
        EXPECT_EQ(task.CallSummary(), kBeginOnly);
        EXPECT_EQ(m_Server.Requests().size(), requestsBefore + 1);
        ExpectEngineStillWorks();
    }
}

TEST_F(Transfer, ConnectionFailuresCarryLibcurlsText)
{
    // The over-long first label makes the resolver refuse the name before it asks any name server, so the
    // test stays on loopback; the .invalid domain never resolves anyway.
    const std::string unresolvable = "http://" + std::string(70, 'x') + ".invalid/page.htm";
    const std::string closedPort = std::to_string(ClosedPort());
    const std::string refused = "http://127.0.0.1:" + closedPort + "/page.htm";
    // Addresses that come from a page may be anything: one that libcurl refuses fails its own task only,
    // before Begin when libcurl refuses to take it at all.
    const std::string withNul = m_Server.Url("/ok") + std::string(1, '\0') + "/../secret";
    // libcurl takes no string longer than 8000000 bytes.
    const std::string tooLong = m_Server.Url("/") + std::string(8000000, 'x') + ".jpg";
    const std::vector<std::string> none;
    // A refused connection is a passing fault: tried again, twice.
    const std::vector<std::string> thrice = {"Begin", "Begin", "Begin"};
    const struct {
        std::string Url;
        std::string Text; ///< libcurl's
        const std::vector<std::string>& Calls;
    } cases[] = {
        {refused, "Failed to connect to 127.0.0.1 port " + closedPort + ": Couldn't connect to server",
         thrice},
        {unresolvable, "Could not resolve host: " + unresolvable.substr(7, 78), kBeginOnly},
        {"", curl_easy_strerror(CURLE_URL_MALFORMAT), kBeginOnly},
        {"http://[127.0.0.1/x.jpg", curl_easy_strerror(CURLE_URL_MALFORMAT), kBeginOnly},
        {withNul, curl_easy_strerror(CURLE_URL_MALFORMAT), none},
        {tooLong, curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT), none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Url.substr(0, 100));
        TRecordingTask task(c.Url);
        ::testing::internal::CaptureStdout();
        const std::string failure = FailureOf([&] { m_Downloader.Download(task); });
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "Download: " + BrintLib::MaskControlBytes(c.Url) + "\n");
        // A message is text: it ends at a NUL.
        EXPECT_TRUE(failure == TransferError(c.Text, c.Url).c_str()) << failure.substr(0, 200);
        EXPECT_EQ(task.Calls, c.Calls);
        ExpectEngineStillWorks();
    }
    EXPECT_EQ(m_Server.Requests(), std::vector<std::string>(std::size(cases), "/ok"));
}

TEST_F(Transfer, ServerSilentLongerThanEveryBoundButTheStallIsWaitedFor)
{
    // Silent for four waits on the sockets and longer than the cancellation bound.
    const auto silence = 4 * TestSupport::kQuickBounds.Wait + TestSupport::kQuickBounds.Abort;
    THttpReply reply{200, "late but whole"};
    reply.Delay = silence;
    m_Server.SetReply("/slow", reply);
    TRecordingTask task(m_Server.Url("/slow"));
    const auto start = std::chrono::steady_clock::now();
    m_Downloader.Download(task);
    EXPECT_GE(std::chrono::steady_clock::now() - start, silence);
    EXPECT_EQ(task.Body, "late but whole");
    EXPECT_EQ(task.CallSummary(), kComplete);
}

TEST_F(Transfer, PassingFaultsAndSilenceAreTriedAgainAfterGrowingPausesAndNothingElseIs)
{
    const TestSupport::TEnvironmentVariable stall("SKERROW_STALL_SECONDS", "1");
    const std::string body = MakeBody(1024 * 1024);
    const THttpReply ok{200, body};
    const auto status = [](int Status, std::vector<std::pair<std::string, std::string>> Headers = {}) {
        return THttpReply{Status, "busy", std::move(Headers)};
    };
    THttpReply dropped{200, body};
    dropped.DropAfter = 300000;
    THttpReply reset = dropped;
    reset.Reset = true;
    THttpReply unanswered;
    unanswered.Unanswered = THttpReply::TUnanswered::Always;
    THttpReply stalled{200, body};
    stalled.StallAfter = 300000;
    THttpReply silent{200, body};
    silent.Delay = std::chrono::minutes(10);
    // Never silent for the stall bound, though it takes longer than it.
    THttpReply drip{200, "drip"};
    drip.DripEvery = std::chrono::milliseconds(400);
    // One header line longer than libcurl takes.
    const THttpReply bigHeader{200, "x", {{"X-Padding", std::string(110 * 1024, 'p')}}};
    const std::chrono::milliseconds pause = TestSupport::kQuickBounds.RetryPause;
    const struct {
        const char* Path;
        const char* Retries; ///< SKERROW_RETRIES
        std::vector<THttpReply> Replies;
        size_t Requests;
        std::string
            Failure; ///< after "Transfer error: ", before " URL: "; empty: the last reply's body arrives
        std::chrono::milliseconds AtLeast; ///< the pauses, the slow reply; the stall bound past this fails
    } cases[] = {
        {"/busy", "2", {status(503, {{"Retry-After", "1"}}), ok}, 2, "", std::chrono::seconds(1)},
        // An hour asked for: the longest pause (a second here, 30 s in the program) obtained.
        {"/patient", "2", {status(429, {{"Retry-After", "3600"}}), ok}, 2, "", std::chrono::seconds(1)},
        {"/many", "2", {status(429), ok}, 2, "", pause},
        {"/gateway", "2", {status(502), status(504), ok}, 3, "", 3 * pause},
        {"/unanswered", "2", {unanswered, ok}, 2, "", pause},
        {"/reset", "2", {reset, ok}, 2, "", pause},
        {"/stalled-once", "2", {stalled, ok}, 2, "", pause},
        {"/stalled", "0", {stalled}, 1, "nothing received for 1 s", {}},
        {"/silent", "0", {silent}, 1, "nothing received for 1 s", {}},
        {"/drip", "0", {drip}, 1, "", std::chrono::seconds(1)},
        {"/dropped", "2", {dropped}, 3, "transfer closed with 748576 bytes remaining to read", 3 * pause},
        {"/exhausted", "2", {status(503)}, 3, "server return error code 503", 3 * pause},
        {"/never", "0", {status(503), ok}, 1, "server return error code 503", {}},
        {"/missing", "2", {status(404), ok}, 1, "server return error code 404", {}},
        {"/big-header", "2", {bigHeader, ok}, 1, "header line too long (more than 102400 bytes)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const TestSupport::TEnvironmentVariable retries("SKERROW_RETRIES", c.Retries);
        TDownloader downloader(TestSupport::kQuickBounds);
        m_Server.SetReplies(c.Path, c.Replies);
        const size_t requestsBefore = m_Server.Requests().size();
        TRecordingTask task(m_Server.Url(c.Path));
        const auto start = std::chrono::steady_clock::now();
        ::testing::internal::CaptureStdout();
        std::string failure;
        if (c.Failure.empty())
            downloader.Download(task);
        else
            failure = FailureOf([&] { downloader.Download(task); });
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Download: " + task.GetUrl() + "\n") << "once";
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, c.AtLeast);
        // A stall fails within a second after the bound; every attempt goes no further.
        EXPECT_LT(elapsed, c.AtLeast + std::chrono::milliseconds(2500) * static_cast<long>(c.Requests));
        EXPECT_EQ(failure, c.Failure.empty() ? "" : TransferError(c.Failure, task.GetUrl()));
        EXPECT_EQ(m_Server.Requests().size() - requestsBefore, c.Requests);
        EXPECT_EQ(std::count(task.Calls.begin(), task.Calls.end(), "Begin"), static_cast<long>(c.Requests));
        if (c.Failure.empty()) {
            EXPECT_TRUE(task.Body == c.Replies.back().Body) << task.Body.size();
            EXPECT_EQ(task.Calls.back(), "Finish");
        }
    }
    ExpectEngineStillWorks();
    EXPECT_EQ(TTransferBounds().LongestRetryAfter, std::chrono::seconds(30)) << "the program's bound";
}

TEST_F(Transfer, ConnectionClosedAsARequestArrivesIsReplacedAndNeverCountsAgainstLaterTransfers)
{
    // Every connection that has served a request is closed as the next request on it arrives; not one
    // transfer of many may fail for it, even without retries of the engine's own.
    const TestSupport::TEnvironmentVariable retries("SKERROW_RETRIES", "0");
    TDownloader downloader(1, TestSupport::kQuickBounds);
    THttpReply closing{200, "fine"};
    closing.Unanswered = THttpReply::TUnanswered::Reused;
    m_Server.SetReply("/closing", closing);
    constexpr size_t kTransfers = 20;
    for (size_t i = 0; i < kTransfers; ++i) {
        SCOPED_TRACE(i);
        TRecordingTask task(m_Server.Url("/closing"));
        downloader.Download(task);
        EXPECT_EQ(task.Body, "fine");
    }
    EXPECT_EQ(m_Server.Requests().size(), 2 * kTransfers - 1);
    EXPECT_EQ(m_Server.Connections(), kTransfers);
}

TEST_F(Transfer, RedirectsAreFollowedUpToTenHopsToHttpAndHttpsOnly)
{
    // /hop/N leads to /hop/N+1 up to /hop/11, which answers.
    m_Server.SetHandler([](const std::string& Target, THttpReply& Reply) {
        if (Target.rfind("/hop/", 0) != 0)
            return false;
        const int hop = std::stoi(Target.substr(5));
        Reply = hop < 11 ? THttpReply{302, "moved", {{"Location", "/hop/" + std::to_string(hop + 1)}}}
                         : THttpReply{200, "arrived", {{"Content-Type", "image/jpeg"}}};
        return true;
    });
    // Another host name for the same server, and every kind of redirect.
    const std::string elsewhere = "http://localhost:" + std::to_string(m_Server.Port());
    m_Server.SetReply("/moved", {301, "", {{"Location", elsewhere + "/found"}}});
    m_Server.SetReply("/found", {302, "", {{"Location", "/other"}}});
    m_Server.SetReply("/other", {303, "", {{"Location", "/temporary"}}});
    m_Server.SetReply("/temporary", {307, "", {{"Location", "/permanent"}}});
    m_Server.SetReply("/permanent", {308, "", {{"Location", "/hop/11"}}});
    m_Server.SetReply("/loop", {302, "", {{"Location", "/loop"}}});
    m_Server.SetReply("/away", {302, "", {{"Location", "ftp://127.0.0.1/x.jpg"}}});
    m_Server.SetReply("/nowhere", {302, "", {{"Location", ""}}});
    m_Server.SetReply("/to-missing", {302, "", {{"Location", elsewhere + "/missing"}}});
    m_Server.SetReply("/missing", {404, "not here"});
    const std::string tooMany = "Maximum (10) redirects followed";
    const struct {
        std::string Path;
        size_t Requests;
        std::string Failure; ///< empty: the body arrives from Reached
        std::string Reached;
    } cases[] = {
        {"/moved", 6, "", elsewhere + "/hop/11"},
        {"/hop/1", 11, "", m_Server.Url("/hop/11")},
        {"/hop/0", 11, tooMany + " URL: " + m_Server.Url("/hop/0") + " Location: /hop/11", ""},
        {"/loop", 11, tooMany + " URL: " + m_Server.Url("/loop") + " Location: /loop", ""},
        {"/away", 1,
         "Protocol \"ftp\" not supported or disabled in libcurl URL: " + m_Server.Url("/away") +
             " Location: ftp://127.0.0.1/x.jpg",
         ""},
        {"/nowhere", 1,
         "server return error code 302 URL: " + m_Server.Url("/nowhere") + " Location: (empty)", ""},
        {"/to-missing", 2,
         "server return error code 404 URL: " + m_Server.Url("/to-missing") + " Redirected to: " + elsewhere +
             "/missing",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        const size_t requestsBefore = m_Server.Requests().size();
        TRecordingTask task(m_Server.Url(c.Path));
        if (c.Failure.empty()) {
            m_Downloader.Download(task);
            EXPECT_EQ(task.Body, "arrived");
            EXPECT_EQ(task.Replies, std::vector<std::string>{c.Reached + " image/jpeg"});
            EXPECT_EQ(task.CallSummary(), kComplete);
        } else {
            EXPECT_EQ(FailureOf([&] { m_Downloader.Download(task); }), "Transfer error: " + c.Failure);
            EXPECT_EQ(task.Calls, kBeginOnly);
        }
        EXPECT_EQ(m_Server.Requests().size() - requestsBefore, c.Requests);
    }
}

TEST_F(Transfer, CompressedBodiesAreWholeOnlyWhenTheirStreamEnds)
{
    // Silence is counted on the wire: a compressed body that drips is no stall, though its first decoded
    // byte comes after longer than the bound.
    const TestSupport::TEnvironmentVariable stall("SKERROW_STALL_SECONDS", "1");
    TDownloader downloader(TestSupport::kQuickBounds); // reads the variable when it is made
    const std::string body = MakeBody(300000) + std::string(300000, 'z');
    const auto compressed = [&](const std::string& Encoding, const std::string& Name, size_t Keep = 0) {
        const std::string bytes = TestSupport::Compress(body, Encoding);
        return THttpReply{200, Keep == 0 ? bytes : bytes.substr(0, Keep), {{"Content-Encoding", Name}}};
    };
    THttpReply trailing = compressed("gzip", "gzip");
    trailing.Body += "trailing bytes after the gzip member";
    THttpReply chained{200,
                       TestSupport::Compress(TestSupport::Compress(body, "gzip"), "br"),
                       {{"Content-Encoding", "gzip, br"}}};
    // Bytes after the gzip member that come after its end, not with it.
    THttpReply drip{200, TestSupport::Compress("drip", "gzip") + "end", {{"Content-Encoding", "gzip"}}};
    drip.DripEvery = std::chrono::milliseconds(100);
    const THttpReply unknown{200, "as it came", {{"Content-Encoding", "x-unknown"}}};
    const THttpReply corrupt{200, "no gzip at all", {{"Content-Encoding", "gzip"}}};
    const std::string cutGzip = "gzip body cut short: 5000 bytes came, its stream did not end";
    const struct {
        const char* Path;
        std::vector<THttpReply> Replies;
        std::string Body;    ///< what the task receives
        std::string Failure; ///< after "Transfer error: ", before " URL: "
        size_t Requests;
    } cases[] = {
        {"/gzip", {compressed("gzip", "gzip")}, body, "", 1},
        {"/x-gzip", {compressed("gzip", "x-gzip")}, body, "", 1},
        {"/deflate", {compressed("deflate", "deflate")}, body, "", 1},
        {"/raw-deflate", {compressed("raw-deflate", "deflate")}, body, "", 1},
        {"/br", {compressed("br", "br")}, body, "", 1},
        {"/zstd", {compressed("zstd", "zstd")}, body, "", 1},
        {"/chained", {chained}, body, "", 1},
        {"/trailing", {trailing}, body, "", 1},
        {"/unknown", {unknown}, "as it came", "", 1},
        {"/drip", {drip}, "drip", "", 1},
        // Cut short where the HTTP framing is whole: a passing fault.
        {"/cut-once", {compressed("zstd", "zstd", 662), compressed("zstd", "zstd")}, body, "", 2},
        {"/cut-gzip", {compressed("gzip", "gzip", 5000)}, "", cutGzip, 3},
        {"/cut-deflate",
         {compressed("deflate", "deflate", 5000)},
         "",
         "deflate body cut short: 5000 bytes came, its stream did not end",
         3},
        {"/cut-br",
         {compressed("br", "br", 5000)},
         "",
         "br body cut short: 5000 bytes came, its stream did not end",
         3},
        {"/cut-zstd",
         {compressed("zstd", "zstd", 662)},
         "",
         "zstd body cut short: 662 bytes came, its stream did not end",
         3},
        {"/corrupt", {corrupt}, "", "gzip body is corrupt after 14 bytes: incorrect header check", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        m_Server.SetReplies(c.Path, c.Replies);
        const size_t requestsBefore = m_Server.Requests().size();
        TRecordingTask task(m_Server.Url(c.Path));
        if (c.Failure.empty()) {
            downloader.Download(task);
            EXPECT_TRUE(task.Body == c.Body) << task.Body.size();
        } else {
            EXPECT_EQ(FailureOf([&] { downloader.Download(task); }), TransferError(c.Failure, task.GetUrl()));
        }
        EXPECT_EQ(m_Server.Requests().size() - requestsBefore, c.Requests);
    }
}

namespace {
struct TDiskOnFire : std::runtime_error {
    using std::runtime_error::runtime_error;
};
} // namespace

TEST_F(Transfer, FailureRaisedByReceiveLeavesDownloadAsRaisedAndEndsTheTransfer)
{
    const std::string body = MakeBody(4 * 1024 * 1024);
    m_Server.SetReply("/big.bin", {200, body});

    // An application failure keeps its message and source location.
    {
        TRecordingTask task(m_Server.Url("/big.bin"));
        int line = 0;
        task.OnReceive = [&](size_t ReceivedSoFar) {
            if (ReceivedSoFar > 100000) {
                line = __LINE__ + 1;
                APL_THROW("Ошибка при записи "
                          << "x.bin");
            }
        };
        try {
            m_Downloader.Download(task);
            ADD_FAILURE() << "nothing raised";
        } catch (const BrintLib::TAplThrowException& e) {
            EXPECT_STREQ(e.what(), "Ошибка при записи x.bin");
            EXPECT_STREQ(e.GetFile(), __FILE__);
            EXPECT_EQ(e.GetLine(), line);
        }
        EXPECT_EQ(task.CallSummary(), kBeginReceive);
        EXPECT_EQ(task.Body, body.substr(0, task.Body.size())); // no chunk after the failing one
        EXPECT_LT(task.Body.size(), body.size());
        ExpectEngineStillWorks();
    }
    // Any other exception keeps its type.
    {
        TRecordingTask task(m_Server.Url("/big.bin"));
        task.OnReceive = [](size_t) { throw TDiskOnFire("disk on fire"); };
        EXPECT_THROW(m_Downloader.Download(task), TDiskOnFire);
        EXPECT_EQ(task.Calls, kBeginReceive); // exactly one chunk
        ExpectEngineStillWorks();
    }
}

TEST_F(Transfer, UrlIsShownBeforeBeginAndFailuresOfBeginAndFinishPassThrough)
{
    TRecordingTask failsInBegin(m_Server.Url("/ok"));
    failsInBegin.OnBegin = [] { APL_THROW("Файл x уже существует"); };
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(FailureOf([&] { m_Downloader.Download(failsInBegin); }), "Файл x уже существует");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Download: " + m_Server.Url("/ok") + "\n");
    EXPECT_TRUE(m_Server.Requests().empty());

    TRecordingTask failsInFinish(m_Server.Url("/ok"));
    failsInFinish.OnFinish = [] { throw TDiskOnFire("late"); };
    EXPECT_THROW(m_Downloader.Download(failsInFinish), TDiskOnFire);
    EXPECT_EQ(failsInFinish.CallSummary(), kComplete);
    ExpectEngineStillWorks();
}

TEST_F(Transfer, OneKeptAliveConnectionServesEveryTransferWithPlainGets)
{
    for (int i = 0; i < 3; ++i)
        ExpectEngineStillWorks();
    EXPECT_EQ(m_Server.Connections(), 1u);
    for (const std::string& head : m_Server.RequestHeads()) {
        // A GET with libcurl's default headers, the program's name and every compression it decodes.
        EXPECT_EQ(head, "GET /ok HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_Server.Port()) +
                            "\r\nUser-Agent: Skerrow/" SKERROW_VERSION
                            " (+https://github.com/skerrow/skerrow)"
                            "\r\nAccept: */*\r\nAccept-Encoding: deflate, gzip, br, zstd\r\n");
    }
}

TEST_F(Transfer, UpToNTransfersAreInFlightAtOnceAndEachShowsAtItsTurn)
{
    constexpr size_t kN = 4;
    // A file task whose write fails: its turn raises the failure, the others are not touched. The last, so
    // that the connection it may close is not replaced.
    constexpr size_t kFailingWrite = 3 * kN - 1;
    // A file task into the file of the one two before: it may start only once that one's turn has passed.
    constexpr size_t kSameFile = 2 * kN + 1;
    // The file tasks that start early create their files on the calling thread until one creation is slow
    // (here: every one), then on the file thread; on the file thread from the start; as the program does.
    enum TFiles { SlowFromTheStart, SlowOnceSeen, AsTheProgram };
    for (const TFiles files : {SlowFromTheStart, SlowOnceSeen, AsTheProgram}) {
        SCOPED_TRACE(files);
        TTransferBounds bounds;
        bounds.SlowFileBegin = files == SlowFromTheStart ? std::chrono::microseconds(0)
                               : files == SlowOnceSeen   ? std::chrono::microseconds(10)
                                                         : bounds.SlowFileBegin;
        TDownloader downloader(kN, bounds);
        EXPECT_EQ(downloader.Connections(), kN);
        // The first N replies wait until N requests have come, which only N transfers at once can bring
        // about. Every other task is a file task; bodies of several chunks.
        TestSupport::TTestHttpServer server;
        TTaskQueue queue;
        std::string expectedConsole;
        // Begin runs on either thread.
        std::atomic<size_t> turn{0};
        std::atomic<size_t> earlyHere{0};
        std::atomic<size_t> earlyElsewhere{0};
        std::atomic<bool> overlapped{false};
        const std::thread::id self = std::this_thread::get_id();
        for (size_t i = 0; i < 3 * kN; ++i) {
            const std::string path = "/" + std::to_string(i);
            THttpReply reply{200, "body " + std::to_string(i) + MakeBody(i * 100000)};
            // So do the last N until every request has come: the places freed by the turns before are all
            // taken again (an engine that lost count of its transfers starts fewer, and they fail with 503).
            reply.HoldUntilRequests = i < kN ? kN : i >= 2 * kN ? 3 * kN : 0;
            reply.HoldLimit = std::chrono::seconds(5);
            server.SetReply(path, reply);
            auto task = std::make_unique<TRecordingTask>(server.Url(path));
            if (i % 2 == 1) {
                task->DestinationName = "file/" + std::to_string(i == kSameFile ? i - 2 : i);
                task->OnBegin = [&, i] {
                    if (turn.load() < i)
                        ++(std::this_thread::get_id() == self ? earlyHere : earlyElsewhere);
                    if (i == kSameFile && turn.load() <= i - 2)
                        overlapped = true;
                    const auto start = std::chrono::steady_clock::now();
                    if (files == SlowOnceSeen)
                        while (std::chrono::steady_clock::now() - start <= bounds.SlowFileBegin) {
                        }
                };
            }
            if (i == kFailingWrite)
                task->OnReceive = [](size_t) { APL_THROW("Ошибка при записи file" << kFailingWrite); };
            expectedConsole += "Download: " + task->GetUrl() + "\n";
            queue.Push(std::move(task));
        }
        ::testing::internal::CaptureStdout();
        for (; !queue.IsEmpty(); ++turn) {
            const std::unique_ptr<ITask> task = queue.Pop();
            auto& recorded = static_cast<TRecordingTask&>(*task);
            // Later tasks begin early, but nothing of theirs shows before their turn.
            if (turn == kFailingWrite) {
                EXPECT_EQ(FailureOf([&] { downloader.Download(*task, queue); }),
                          "Ошибка при записи file" + std::to_string(kFailingWrite));
                EXPECT_EQ(recorded.Calls, kBeginReceive) << "no chunk after the failing one";
                continue;
            }
            downloader.Download(*task, queue);
            EXPECT_EQ(recorded.Body, "body " + std::to_string(turn) + MakeBody(turn.load() * 100000));
            EXPECT_EQ(recorded.CallSummary(), kComplete);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), expectedConsole);
        EXPECT_EQ(server.Requests().size(), 3 * kN);
        EXPECT_EQ(server.Connections(), kN) << "kept alive, at most N";
        EXPECT_FALSE(overlapped.load()) << "two transfers into one file at once";
        if (files == SlowFromTheStart) {
            EXPECT_EQ(earlyHere.load(), 0u);
        }
        if (files == SlowOnceSeen) {
            EXPECT_EQ(earlyHere.load(), 1u) << "the first slow creation is the last on the calling thread";
        }
        if (files != AsTheProgram) {
            EXPECT_GT(earlyElsewhere.load(), 0u);
        }
    }
}

TEST_F(Transfer, HttpProxyVariableIsHonoured)
{
    const std::string url = "http://mag-a.test/2007/05/index.htm";
    m_Server.SetReply(url, {200, "contents page"});
    setenv("http_proxy", m_Server.ProxyUrl().c_str(), 1);
    TRecordingTask task(url);
    m_Downloader.Download(task);
    unsetenv("http_proxy");
    EXPECT_EQ(task.Body, "contents page");
    EXPECT_EQ(m_Server.Requests(), std::vector<std::string>{url});
}

namespace {

/// Makes, with openssl, a certificate authority (ca.pem) and the certificate that it signed for mag-a.test
/// and 127.0.0.1 (server.pem, server.key) in Dir.
void MakeCertificates(const std::string& Dir)
{
    BrintLib::TNewFile extensions;
    ASSERT_EQ(extensions.Create(Dir + "/ext.cnf"), 0);
    const std::string names = "subjectAltName=DNS:mag-a.test,IP:127.0.0.1\n";
    ASSERT_EQ(extensions.Write(names.data(), names.size()), 0);
    ASSERT_EQ(extensions.Close(), 0);
    const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                          "-nodes"};
    const std::vector<std::vector<std::string>> commands = {
        {"req", "-x509", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Skerrow test CA"},
        {"req", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=mag-a.test"},
        {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
         "server.pem", "-days", "2", "-extfile", "ext.cnf"},
    };
    for (const auto& command : commands) {
        std::vector<std::string> args = {"/usr/bin/openssl"};
        args.insert(args.end(), command.begin(), command.end());
        if (command[0] == "req")
            args.insert(args.end(), key.begin(), key.end());
        const TestSupport::TProcessResult result = TestSupport::RunProcess(args, {}, Dir);
        ASSERT_EQ(result.ExitStatus, 0) << result.Stderr;
    }
}

} // namespace

TEST_F(Transfer, HttpsIsVerifiedAgainstTheBundleNamedOrTheSystemsAlsoThroughAProxysTunnel)
{
    const TestSupport::TTempDir dir;
    MakeCertificates(dir.Path());
    TestSupport::TTestHttpServer secure;
    secure.UseTls(dir / "server.pem", dir / "server.key");
    secure.SetReply("/pic.jpg", {200, "secret picture", {{"Content-Type", "image/jpeg"}}});
    m_Server.SetTunnel(secure.Port());
    const std::string direct = secure.Url("/pic.jpg");
    const std::string tunnelled = "https://mag-a.test/pic.jpg";
    const std::string untrusted = "SSL certificate problem: unable to get local issuer certificate";
    const struct {
        const char* Variable; ///< names the test's authority, or null
        std::string Url;
        std::string Failure; ///< libcurl's text; empty: the body arrives
    } cases[] = {
        {"SSL_CERT_FILE", direct, ""}, {"CURL_CA_BUNDLE", direct, ""},  {"SSL_CERT_FILE", tunnelled, ""},
        {nullptr, direct, untrusted},  {nullptr, tunnelled, untrusted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Url + " " + (c.Variable != nullptr ? c.Variable : "-"));
        std::unique_ptr<TestSupport::TEnvironmentVariable> bundle;
        std::unique_ptr<TestSupport::TEnvironmentVariable> proxy;
        if (c.Variable != nullptr)
            bundle = std::make_unique<TestSupport::TEnvironmentVariable>(c.Variable, dir / "ca.pem");
        if (c.Url == tunnelled)
            proxy = std::make_unique<TestSupport::TEnvironmentVariable>("https_proxy", m_Server.ProxyUrl());
        TDownloader downloader(TestSupport::kQuickBounds); // reads the variables when it is made
        TRecordingTask task(c.Url);
        if (c.Failure.empty()) {
            downloader.Download(task);
            EXPECT_EQ(task.Body, "secret picture");
            EXPECT_EQ(task.Replies, std::vector<std::string>{c.Url + " image/jpeg"});
        } else {
            EXPECT_EQ(FailureOf([&] { downloader.Download(task); }), TransferError(c.Failure, c.Url));
            EXPECT_EQ(task.Calls, kBeginOnly) << "not tried again";
        }
    }
    EXPECT_EQ(m_Server.Requests(), std::vector<std::string>(2, "mag-a.test:443"));
}

namespace {

void IgnoreSignal(int) {}

/// Interrupts the main thread's system calls with SIGUSR1, every few milliseconds, while it lives.
class TInterrupter {
  public:
    explicit TInterrupter(pthread_t Target) : m_Target(Target)
    {
        struct sigaction action = {};
        action.sa_handler = IgnoreSignal; // no SA_RESTART: select() returns -1 with EINTR
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &m_Previous);
        m_Thread = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_Mutex);
            while (!m_Done) {
                pthread_kill(m_Target, SIGUSR1);
                m_Wake.wait_for(lock, std::chrono::milliseconds(20));
            }
        });
    }
    ~TInterrupter()
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Done = true;
        }
        m_Wake.notify_all();
        m_Thread.join();
        sigaction(SIGUSR1, &m_Previous, nullptr);
    }

  private:
    pthread_t m_Target;
    struct sigaction m_Previous = {};
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    bool m_Done = false;
    std::thread m_Thread;
};

} // namespace

TEST_F(Transfer, CancellingPastItsBoundForcesTheEngineIdleAndNamesBothFailures)
{
    // The server never answers, so cancelling has no chunk to refuse and runs into its bound.
    THttpReply silent{200, "never sent"};
    silent.Delay = std::chrono::minutes(10);
    m_Server.SetReply("/silent", silent);
    TRecordingTask task(m_Server.Url("/silent"));
    std::string failure;
    {
        std::thread waiter;
        std::unique_ptr<TInterrupter> interrupter;
        const pthread_t self = pthread_self();
        waiter = std::thread([&] {
            if (m_Server.WaitForRequests(1, std::chrono::seconds(30)))
                interrupter = std::make_unique<TInterrupter>(self);
        });
        failure = FailureOf([&] { m_Downloader.Download(task); });
        waiter.join();
    }
    EXPECT_EQ(failure, "Попытка прервать передачу данных заняла слишком много времени\n"
                       "select from socket error: " +
                           std::to_string(EINTR));
    EXPECT_EQ(task.Calls, kBeginOnly);
    ExpectEngineStillWorks();
}

TEST_F(Transfer, InterruptionCancelsTheTransferInFlightAndStopsTheNextBeforeItsLine)
{
    const BrintLib::TInterruptionHandlers handlers;
    THttpReply silent{200, "never sent"};
    silent.Delay = std::chrono::minutes(10);
    m_Server.SetReply("/silent", silent);
    TRecordingTask task(m_Server.Url("/silent"));
    const pthread_t self = pthread_self();
    std::thread interrupter([&] {
        if (m_Server.WaitForRequests(1, std::chrono::seconds(30)))
            pthread_kill(self, SIGINT);
    });
    int signal = 0;
    try {
        m_Downloader.Download(task);
    } catch (const BrintLib::TInterrupted& e) {
        signal = e.Signal();
    }
    interrupter.join();
    EXPECT_EQ(signal, SIGINT);
    EXPECT_EQ(BrintLib::InterruptionExitStatus(), 130);
    EXPECT_EQ(task.Calls, kBeginOnly);

    // Once interrupted, no further transfer begins, not even its console line.
    TRecordingTask next(m_Server.Url("/ok"));
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(m_Downloader.Download(next), BrintLib::TInterrupted);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(next.Calls.empty());
    BrintLib::ClearInterruption();
    EXPECT_EQ(BrintLib::InterruptionExitStatus(), 0);
    ExpectEngineStillWorks();

    // File tasks that started early, their bytes still waiting for the file thread: the turn that sees
    // the interruption leaves nothing of any of them there, so each may be deleted at once (the sanitizer
    // build reports a task used after its deletion).
    TDownloader engine(4);
    m_Server.SetReply("/big.bin", {200, MakeBody(8 * 1024 * 1024)});
    TTaskQueue queue;
    for (int i = 0; i < 4; ++i) {
        auto file = std::make_unique<TRecordingTask>(m_Server.Url("/big.bin"));
        file->DestinationName = "file" + std::to_string(i);
        queue.Push(std::move(file));
    }
    engine.Download(*queue.Pop(), queue);
    pthread_kill(self, SIGINT);
    while (!queue.IsEmpty())
        EXPECT_THROW(engine.Download(*queue.Pop(), queue), BrintLib::TInterrupted);
    BrintLib::ClearInterruption();
}
