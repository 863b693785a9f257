// Sequential downloads from a local keep-alive HTTP server: the transfer engine with file download tasks
// against wget fetching the same URL list in the same run.
//
// For each case the engine fetches every URL into a new file, one TDownloader for the whole list, and
// wget -i fetches the same list into another directory. Printed per case: the engine's per-request median
// and maximum, the number of requests of 100 ms or more, the connections it used, both wall times and their
// ratio. The server keeps connections alive, except in the case that closes each after its reply.
//
//     build/bench/TransferBench [--benchmark_filter=10KB]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Logic.h"
#include "libs/FileSystem.h"
#include "libs/Net/CURLTransfer.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

double Seconds(TClock::duration Duration)
{
    return std::chrono::duration<double>(Duration).count();
}

/// Sends standard output to /dev/null while it lives: the engine prints one line per download, and a
/// terminal would time its own scrolling.
class TQuietStdout {
  public:
    TQuietStdout()
    {
        std::cout.flush();
        std::fflush(stdout);
        m_Saved = dup(1);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        close(null);
    }
    ~TQuietStdout()
    {
        std::cout.flush();
        std::fflush(stdout);
        dup2(m_Saved, 1);
        close(m_Saved);
    }

  private:
    int m_Saved = -1;
};

/// Runs wget on the URL list and returns its wall time; aborts the benchmark when wget fails.
double RunWget(const std::string& ListFile, const std::string& Dir, benchmark::State& State)
{
    std::vector<std::string> args = {"wget", "-q", "--no-proxy", "--no-config", "-i", ListFile, "-P", Dir};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const TClock::time_point start = TClock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "wget", nullptr, nullptr, argv.data(), environ) != 0) {
        State.SkipWithError("wget cannot be started (apt-get install wget)");
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = Seconds(TClock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        State.SkipWithError("wget failed");
    return elapsed;
}

void BM_SequentialGets(benchmark::State& State, size_t BodySize, int Requests, const char* Name, bool Close)
{
    unsetenv("http_proxy"); // loopback only, as wget --no-proxy
    TestSupport::TTestHttpServer server;
    // A picture's first and last bytes, as the file task wants them.
    const std::string body = "\xFF\xD8\xFF\xE0" + std::string(BodySize - 6, 'b') + "\xFF\xD9";
    const std::string prefix = std::string("/") + Name + "/";
    server.SetHandler([&](const std::string& Target, TestSupport::THttpReply& Reply) {
        if (Target.compare(0, prefix.size(), prefix) != 0)
            return false;
        Reply.Body = body;
        Reply.Close = Close;
        return true;
    });
    std::vector<std::string> urls;
    for (int i = 0; i < Requests; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%05d", i);
        urls.push_back(server.Url(prefix + name));
    }

    for (auto _ : State) {
        TestSupport::TTempDir dir;
        const std::string engineDir = dir / "engine";
        const std::string wgetDir = dir / "wget";
        BrintLib::CreateFullPath(engineDir);
        BrintLib::CreateFullPath(wgetDir);
        const std::string listFile = dir / "urls.txt";
        {
            std::ofstream list(listFile);
            for (const std::string& url : urls)
                list << url << '\n';
        }

        std::vector<double> perRequest;
        perRequest.reserve(urls.size());
        const size_t connectionsBefore = server.Connections();
        TClock::time_point start;
        {
            const TQuietStdout quiet;
            start = TClock::now();
            TDownloader downloader;
            for (size_t i = 0; i < urls.size(); ++i) {
                TDownloadFile task(urls[i], engineDir + "/" + std::to_string(i));
                const TClock::time_point before = TClock::now();
                downloader.Download(task);
                perRequest.push_back(Seconds(TClock::now() - before) * 1000);
            }
        }
        const double engineSeconds = Seconds(TClock::now() - start);
        const size_t engineConnections = server.Connections() - connectionsBefore;
        const size_t requestsBefore = server.Requests().size();
        const double wgetSeconds = RunWget(listFile, wgetDir, State);
        // Both sides really fetched the whole list.
        if (server.Requests().size() - requestsBefore != urls.size() ||
            TestSupport::ReadFile(engineDir + "/" + std::to_string(urls.size() - 1)) != body ||
            TestSupport::ReadFile(wgetDir + "/" + urls.back().substr(urls.back().rfind('/') + 1)) != body)
            State.SkipWithError("a download is missing or wrong");
        State.SetIterationTime(engineSeconds);

        std::vector<double> sorted = perRequest;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        const double maximum = sorted.back();
        const auto slow = std::count_if(sorted.begin(), sorted.end(), [](double Ms) { return Ms >= 100; });
        State.counters["median_ms"] = median;
        State.counters["max_ms"] = maximum;
        State.counters["reqs_100ms+"] = static_cast<double>(slow);
        State.counters["engine_s"] = engineSeconds;
        State.counters["wget_s"] = wgetSeconds;
        State.counters["ratio"] = wgetSeconds > 0 ? engineSeconds / wgetSeconds : 0;
        State.counters["connections"] = static_cast<double>(engineConnections);

        std::printf(
            "%-10s %5d GETs  engine: median %.3f ms, max %.3f ms, %ld of 100 ms or more, %.3f s on %zu "
            "connection(s)  wget: %.3f s  ratio engine/wget: %.2f\n",
            Name, Requests, median, maximum, static_cast<long>(slow), engineSeconds, engineConnections,
            wgetSeconds, wgetSeconds > 0 ? engineSeconds / wgetSeconds : 0.0);
        std::fflush(stdout);
    }
}

} // namespace

BENCHMARK_CAPTURE(BM_SequentialGets, 10KB, 10 * 1024, 1000, "10KB", false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SequentialGets, 1MB, 1024 * 1024, 200, "1MB", false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// The same small files over a new connection each: connecting must not wait out the select() timeout.
BENCHMARK_CAPTURE(BM_SequentialGets, 10KB_new_connections, 10 * 1024, 1000, "10KB-close", true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
