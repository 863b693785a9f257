// The whole run: the Skerrow executable copies the large sample issue (50 articles, 500 pictures of
// 5-50 KB) from the sample magazine server on loopback, and wget fetches the same list of URLs one after
// another (wget -i) through the same proxy, in the same run. Each is run several times; the best wall time
// and peak memory (maximum resident set size of the process) of each are printed side by side, with
// Skerrow's slowest request: the longest time between two of its "Download: " lines (or from the last
// line to its exit), which covers the transfer and the processing of the page or picture.
//
// Goals: Skerrow's wall time at most wget's; no request of 100 ms or more; peak memory below 3 times the
// largest page plus 20 MB.
//
//     build/bench/WholeRun [--benchmark_repetitions=N]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr int kRepetitions = 5;
const char* const kLargeIssueUrl = "http://mag-a.test/magazine/2008-12/";

double Milliseconds(TClock::duration Duration)
{
    return std::chrono::duration<double, std::milli>(Duration).count();
}

/// A file descriptor that is closed with its owner.
class TFd {
public:
    explicit TFd(int Fd = -1) : m_Fd(Fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return m_Fd; }
    void Reset()
    {
        if (m_Fd >= 0)
            close(m_Fd);
        m_Fd = -1;
    }

private:
    int m_Fd;
};

/// A child process with its standard output on a pipe. The destructor ends a child that still runs.
class TChild {
public:
    /// Starts Args[0] (looked up in PATH) with the current environment plus Env ("NAME=value", replacing
    /// variables of the same name). Throws std::runtime_error when it cannot be started.
    TChild(const std::vector<std::string>& Args, const std::vector<std::string>& Env)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        TFd writeEnd(fds[1]);
        m_Stdout = std::make_unique<TFd>(fds[0]);

        std::vector<std::string> environment = Env;
        for (char** variable = environ; *variable; ++variable) {
            const std::string entry = *variable;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            if (std::none_of(Env.begin(), Env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; }))
                environment.push_back(entry);
        }
        std::vector<char*> argv, envp;
        for (const std::string& arg : Args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        m_Started = TClock::now();
        const int error = posix_spawnp(&m_Pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start " + Args[0] + ": " + std::strerror(error));
    }

    ~TChild()
    {
        if (m_Pid > 0) {
            kill(m_Pid, SIGTERM);
            waitpid(m_Pid, nullptr, 0);
        }
    }

    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    /// Reads standard output to its end; OnLine gets each line (without its line feed) and the time it
    /// arrived.
    template <class TOnLine> void ReadLines(TOnLine OnLine)
    {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const ssize_t got = read(m_Stdout->Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            const TClock::time_point now = TClock::now();
            pending.append(buffer, static_cast<size_t>(got));
            size_t start = 0;
            for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
                OnLine(pending.substr(start, end - start), now);
            pending.erase(0, start);
        }
    }

    /// Reads one line of standard output.
    std::string ReadLine()
    {
        std::string line;
        char c;
        while (read(m_Stdout->Get(), &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    struct TEnd {
        int ExitStatus;
        double WallMs;   ///< from the start to the end of the process
        long PeakKb;     ///< maximum resident set size
        TClock::time_point Ended;
    };

    /// Waits for the end of the child.
    TEnd Wait()
    {
        int status = 0;
        rusage usage{};
        while (wait4(m_Pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        const TClock::time_point ended = TClock::now();
        m_Pid = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Milliseconds(ended - m_Started), usage.ru_maxrss,
                ended};
    }

private:
    pid_t m_Pid = -1;
    std::unique_ptr<TFd> m_Stdout;
    TClock::time_point m_Started;
};

/// Everything the runs share: a work directory, the sample magazine server with the large issue, the
/// issue's URL list and a copy of Skerrow (its errors.txt goes beside it).
struct TSetup {
    fs::path Work;
    std::unique_ptr<TChild> Server;
    std::string Proxy;
    fs::path UrlList;
    fs::path Skerrow;
    size_t Urls = 0;
    size_t LargestPage = 0;
    size_t TotalBytes = 0;
    int Runs = 0;

    TSetup()
    {
        char pattern[] = "/tmp/skerrow-wholerun-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        Work = pattern;
        Skerrow = Work / "bin" / "Skerrow";
        fs::create_directories(Skerrow.parent_path());
        fs::copy_file(SKERROW_EXE, Skerrow);

        // The URLs in the order Skerrow fetches them, with their sizes.
        TChild lister({"python3", SAMPLE_MAGAZINE_DIR "/samples.py", "--list", "large"}, {});
        UrlList = Work / "urls.txt";
        std::ofstream list(UrlList);
        lister.ReadLines([&](const std::string& Line, TClock::time_point) {
            std::istringstream fields(Line);
            std::string kind, url;
            size_t size = 0;
            fields >> kind >> size >> url;
            list << url << '\n';
            ++Urls;
            TotalBytes += size;
            if (kind == "page")
                LargestPage = std::max(LargestPage, size);
        });
        if (lister.Wait().ExitStatus != 0 || Urls == 0)
            throw std::runtime_error("samples.py --list large failed");

        Server = std::make_unique<TChild>(
            std::vector<std::string>{"python3", SAMPLE_MAGAZINE_DIR "/sample_server.py", "--large", "--lifetime", "1800"},
            std::vector<std::string>{});
        const std::string line = Server->ReadLine();
        if (line.rfind("PORT ", 0) != 0)
            throw std::runtime_error("the sample magazine server did not start");
        Proxy = "http://127.0.0.1:" + line.substr(5);
    }

    ~TSetup()
    {
        Server.reset();
        std::error_code ignored;
        fs::remove_all(Work, ignored);
    }

    std::vector<std::string> ProxyEnv() const
    {
        return {"http_proxy=" + Proxy, "no_proxy=", "NO_PROXY=", "LC_ALL=C.UTF-8"};
    }

    fs::path NewSaveDir(const std::string& Who)
    {
        const fs::path dir = Work / (Who + "-" + std::to_string(++Runs));
        fs::create_directories(dir);
        return dir;
    }
};

TSetup& Setup()
{
    static TSetup setup;
    return setup;
}

struct TBest {
    double WallMs = 0;
    long PeakKb = 0;
    double SlowestMs = 0;  ///< Skerrow only: over all its runs
    int Runs = 0;

    void Add(double Wall, long Peak)
    {
        WallMs = Runs == 0 ? Wall : std::min(WallMs, Wall);
        PeakKb = Runs == 0 ? Peak : std::min(PeakKb, Peak);
        ++Runs;
    }
};

TBest g_Skerrow, g_Wget;

void BM_Skerrow(benchmark::State& State)
{
    TSetup& setup = Setup();
    for (auto _ : State) {
        const fs::path save = setup.NewSaveDir("skerrow");
        TChild child({setup.Skerrow.string(), kLargeIssueUrl, save.string()}, setup.ProxyEnv());
        std::vector<TClock::time_point> downloads;
        child.ReadLines([&](const std::string& Line, TClock::time_point At) {
            if (Line.rfind("Download: ", 0) == 0)
                downloads.push_back(At);
        });
        const TChild::TEnd end = child.Wait();
        if (end.ExitStatus != 0 || downloads.size() != setup.Urls || fs::exists(setup.Skerrow.parent_path() / "errors.txt")) {
            State.SkipWithError("Skerrow's run did not copy the issue cleanly (see errors.txt)");
            return;
        }
        downloads.push_back(end.Ended);
        double slowest = 0;
        for (size_t i = 1; i < downloads.size(); ++i)
            slowest = std::max(slowest, Milliseconds(downloads[i] - downloads[i - 1]));
        g_Skerrow.SlowestMs = std::max(g_Skerrow.SlowestMs, slowest);
        g_Skerrow.Add(end.WallMs, end.PeakKb);
        State.SetIterationTime(end.WallMs / 1000);
        State.counters["peak_MB"] = static_cast<double>(end.PeakKb) / 1024;
        State.counters["slowest_request_ms"] = slowest;
    }
}

void BM_Wget(benchmark::State& State)
{
    TSetup& setup = Setup();
    for (auto _ : State) {
        const fs::path save = setup.NewSaveDir("wget");
        TChild child({"wget", "-q", "-x", "-P", save.string(), "-i", setup.UrlList.string()}, setup.ProxyEnv());
        child.ReadLines([](const std::string&, TClock::time_point) {});
        const TChild::TEnd end = child.Wait();
        if (end.ExitStatus != 0) {
            State.SkipWithError("wget failed (is it installed?)");
            return;
        }
        g_Wget.Add(end.WallMs, end.PeakKb);
        State.SetIterationTime(end.WallMs / 1000);
        State.counters["peak_MB"] = static_cast<double>(end.PeakKb) / 1024;
    }
}

BENCHMARK(BM_Skerrow)->Name("WholeRun/Skerrow")->UseManualTime()->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Wget)->Name("WholeRun/wget")->UseManualTime()->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond);

void PrintSummary()
{
    if (g_Skerrow.Runs == 0 || g_Wget.Runs == 0) {
        std::cout << "\nNo comparison: a side did not complete a run.\n";
        return;
    }
    const TSetup& setup = Setup();
    const double memoryGoalMb = 3.0 * static_cast<double>(setup.LargestPage) / (1024 * 1024) + 20;
    const auto mb = [](long Kb) { return static_cast<double>(Kb) / 1024; };
    const auto verdict = [](bool Met) { return Met ? "met" : "NOT MET"; };
    std::printf("\nWhole run of the large sample issue: %zu URLs, %.1f MB, largest page %.1f KB; best of %d runs each\n",
                setup.Urls, static_cast<double>(setup.TotalBytes) / (1024 * 1024),
                static_cast<double>(setup.LargestPage) / 1024, g_Skerrow.Runs);
    std::printf("%-10s %14s %14s\n", "", "wall time", "peak memory");
    std::printf("%-10s %11.0f ms %11.1f MB\n", "Skerrow", g_Skerrow.WallMs, mb(g_Skerrow.PeakKb));
    std::printf("%-10s %11.0f ms %11.1f MB\n", "wget -i", g_Wget.WallMs, mb(g_Wget.PeakKb));
    std::printf("Skerrow / wget wall time: %.2f  (goal: at most 1: %s)\n", g_Skerrow.WallMs / g_Wget.WallMs,
                verdict(g_Skerrow.WallMs <= g_Wget.WallMs));
    std::printf("Skerrow's slowest request over all runs: %.1f ms  (goal: below 100 ms: %s)\n", g_Skerrow.SlowestMs,
                verdict(g_Skerrow.SlowestMs < 100));
    std::printf("Skerrow's peak memory: %.1f MB  (goal: below 3 x largest page + 20 MB = %.1f MB: %s)\n",
                mb(g_Skerrow.PeakKb), memoryGoalMb, verdict(mb(g_Skerrow.PeakKb) < memoryGoalMb));
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    try {
        Setup();
    } catch (const std::exception& e) {
        std::cerr << "WholeRun: " << e.what() << '\n';
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
