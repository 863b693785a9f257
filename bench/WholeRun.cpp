// The whole run: the Skerrow executable copies the large sample issue (50 articles, 500 pictures of
// 5-50 KB) from the sample magazine server on loopback, and wget fetches the same list of URLs one after
// another (wget -i) through the same proxy, in the same run. Skerrow runs with its default number of
// transfers in flight and with one at a time (SKERROW_CONNECTIONS=1). Each is run several times; the best
// wall time and peak memory (maximum resident set size of the process) of each are printed side by side,
// with Skerrow's slowest request: the longest time between two of its "Download: " lines (or from the last
// line to its exit), which covers the transfer and the processing of the page or picture.
//
// Goals: Skerrow's wall time at most wget's, and at most 1.05 times that of one transfer at a time; no
// request of 100 ms or more; peak memory below 3 times the largest page plus 20 MB.
//
// The book row (WholeRun/book): the large issue's book (--epub) is made from a saved copy in under 0.2 s
// and 32 MB (peak memory of a child process that only makes the book).
//     build/bench/WholeRun --benchmark_filter=book
//
//     build/bench/WholeRun [--benchmark_repetitions=N]
//
// Latency mode: a server that waits D ms before each reply stands for a near server on a real network
// (the tests' C++ HTTP server, serving the issue from memory: the Python sample server cannot answer 16
// clients at once without becoming the bottleneck). For each D, Skerrow (its default, 5, 16 and 32
// transfers at once) is compared in one run with wget -i, wget2 -i (its default of 5 threads and 16) and
// aria2c -i
// (-j5 and -j16); the best of R runs of each is printed with ratios.
//
// Goals: at equal connection counts Skerrow's wall time at most each peer's; at its default it beats
// wget2's default; 16 at once at most 0.9 times its default, and 32 no slower than 16.
//
//     build/bench/WholeRun --latency_ms=5,30 [--latency_runs=R]
//     build/bench/WholeRun --latency_serve=D    (only the server, until standard input ends)
//
// https mode: the sample magazine server serves the large issue over https too (CONNECT tunnels, a test
// CA made with openssl), at 0 ms. Skerrow copies it over http and over https, and wget2 -i fetches its
// URLs over https; the best of R runs of each is printed with the cost of TLS per request as a ratio
// (https / http) and in ms, and Skerrow's https time against wget2's.
//
// Goal: Skerrow over https at most wget2 over https.
//
//     build/bench/WholeRun --https [--latency_runs=R]

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
#include <unordered_map>
#include <vector>

#include "reader/Epub.h"
#include "support/TestHttpServer.h"

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
            if (std::none_of(Env.begin(), Env.end(),
                             [&](const std::string& e) { return e.rfind(name, 0) == 0; }))
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
        double WallMs; ///< from the start to the end of the process
        long PeakKb;   ///< maximum resident set size
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
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Milliseconds(ended - m_Started),
                usage.ru_maxrss, ended};
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
    }

    /// Starts the sample magazine server on loopback, with Extra arguments, and points Proxy at it.
    void StartSampleServer(const std::vector<std::string>& Extra = {})
    {
        std::vector<std::string> args = {"python3", SAMPLE_MAGAZINE_DIR "/sample_server.py", "--large",
                                         "--lifetime", "1800"};
        args.insert(args.end(), Extra.begin(), Extra.end());
        Server = std::make_unique<TChild>(args, std::vector<std::string>{});
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
    double SlowestMs = 0; ///< Skerrow only: over all its runs
    int Runs = 0;

    void Add(double Wall, long Peak)
    {
        WallMs = Runs == 0 ? Wall : std::min(WallMs, Wall);
        PeakKb = Runs == 0 ? Peak : std::min(PeakKb, Peak);
        ++Runs;
    }
};

TBest g_Skerrow, g_SkerrowOne, g_Wget;

/// One run of Skerrow on the large issue (at Url) with Env added to the environment (the proxy among it).
/// Returns false when it did not copy the issue cleanly. Slowest: the longest time between two of its
/// "Download: " lines, or from the last to its exit.
bool RunSkerrow(const std::vector<std::string>& Env, TChild::TEnd& End, double& Slowest,
                const std::string& Url = kLargeIssueUrl)
{
    TSetup& setup = Setup();
    const fs::path errors = setup.Skerrow.parent_path() / "errors.txt";
    std::error_code ignored;
    fs::remove(errors, ignored);
    const fs::path save = setup.NewSaveDir("skerrow");
    TChild child({setup.Skerrow.string(), Url, save.string()}, Env);
    std::vector<TClock::time_point> downloads;
    child.ReadLines([&](const std::string& Line, TClock::time_point At) {
        if (Line.rfind("Download: ", 0) == 0)
            downloads.push_back(At);
    });
    End = child.Wait();
    if (End.ExitStatus != 0 || downloads.size() != setup.Urls || fs::exists(errors))
        return false;
    downloads.push_back(End.Ended);
    Slowest = 0;
    for (size_t i = 1; i < downloads.size(); ++i)
        Slowest = std::max(Slowest, Milliseconds(downloads[i] - downloads[i - 1]));
    return true;
}

void BM_Skerrow(benchmark::State& State, const char* Connections, TBest* Best)
{
    TSetup& setup = Setup();
    std::vector<std::string> env = setup.ProxyEnv();
    if (Connections != nullptr)
        env.push_back(std::string("SKERROW_CONNECTIONS=") + Connections);
    for (auto _ : State) {
        TChild::TEnd end{};
        double slowest = 0;
        if (!RunSkerrow(env, end, slowest)) {
            State.SkipWithError("Skerrow's run did not copy the issue cleanly (see errors.txt)");
            return;
        }
        Best->SlowestMs = std::max(Best->SlowestMs, slowest);
        Best->Add(end.WallMs, end.PeakKb);
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
        TChild child({"wget", "-q", "-x", "-P", save.string(), "-i", setup.UrlList.string()},
                     setup.ProxyEnv());
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

void RegisterLoopbackBenchmarks()
{
    benchmark::RegisterBenchmark("WholeRun/Skerrow", BM_Skerrow, nullptr, &g_Skerrow)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("WholeRun/Skerrow_one_at_a_time", BM_Skerrow, "1", &g_SkerrowOne)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Wget)
    ->Name("WholeRun/wget")
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);

TBest g_Book;

/// The book of the large issue (--epub), made from a copy that Skerrow saved once: each repetition makes it
/// in a child process of its own (forked), whose peak memory is that of a program making the book, and
/// measures the making alone.
void BM_Book(benchmark::State& State)
{
    TSetup& setup = Setup();
    static fs::path save;
    if (save.empty()) {
        save = setup.NewSaveDir("book");
        TChild copy({setup.Skerrow.string(), kLargeIssueUrl, save.string()}, setup.ProxyEnv());
        copy.ReadLines([](const std::string&, TClock::time_point) {});
        if (copy.Wait().ExitStatus != 0) {
            State.SkipWithError("Skerrow's run did not copy the issue cleanly");
            return;
        }
    }
    const fs::path book = save / "2008_12.epub";
    for (auto _ : State) {
        std::error_code ignored;
        fs::remove(book, ignored);
        int fds[2];
        if (pipe(fds) != 0) {
            State.SkipWithError("pipe failed");
            return;
        }
        const pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            double ms = -1;
            try {
                const TClock::time_point started = TClock::now();
                MakeIssueBook(save.string(), "2008_12", kLargeIssueUrl);
                ms = Milliseconds(TClock::now() - started);
            } catch (...) {
            }
            const ssize_t written = write(fds[1], &ms, sizeof ms);
            _exit(written == sizeof ms && ms >= 0 ? 0 : 1);
        }
        close(fds[1]);
        double ms = -1;
        const ssize_t got = read(fds[0], &ms, sizeof ms);
        close(fds[0]);
        int status = 0;
        rusage usage{};
        while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        if (child < 0 || got != sizeof ms || ms < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            State.SkipWithError("the book was not made");
            return;
        }
        g_Book.Add(ms, usage.ru_maxrss);
        State.SetIterationTime(ms / 1000);
        State.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024;
    }
}

BENCHMARK(BM_Book)
    ->Name("WholeRun/book")
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);

void PrintSummary()
{
    if (g_Book.Runs > 0)
        std::printf(
            "\nBook of the large issue (--epub): %.0f ms, peak memory %.1f MB, best of %d  (goal: below "
            "200 ms and 32 MB: %s)\n",
            g_Book.WallMs, static_cast<double>(g_Book.PeakKb) / 1024, g_Book.Runs,
            g_Book.WallMs < 200 && g_Book.PeakKb < 32 * 1024 ? "met" : "NOT MET");
    if (g_Skerrow.Runs == 0 || g_Wget.Runs == 0) {
        std::cout << "\nNo comparison: a side did not complete a run.\n";
        return;
    }
    const TSetup& setup = Setup();
    const double memoryGoalMb = 3.0 * static_cast<double>(setup.LargestPage) / (1024 * 1024) + 20;
    const auto mb = [](long Kb) { return static_cast<double>(Kb) / 1024; };
    const auto verdict = [](bool Met) { return Met ? "met" : "NOT MET"; };
    std::printf("\nWhole run of the large sample issue: %zu URLs, %.1f MB, largest page %.1f KB; best of %d "
                "runs each\n",
                setup.Urls, static_cast<double>(setup.TotalBytes) / (1024 * 1024),
                static_cast<double>(setup.LargestPage) / 1024, g_Skerrow.Runs);
    std::printf("%-10s %14s %14s\n", "", "wall time", "peak memory");
    std::printf("%-10s %11.0f ms %11.1f MB\n", "Skerrow", g_Skerrow.WallMs, mb(g_Skerrow.PeakKb));
    std::printf("%-10s %11.0f ms %11.1f MB\n", "wget -i", g_Wget.WallMs, mb(g_Wget.PeakKb));
    std::printf("Skerrow / wget wall time: %.2f  (goal: at most 1: %s)\n", g_Skerrow.WallMs / g_Wget.WallMs,
                verdict(g_Skerrow.WallMs <= g_Wget.WallMs));
    if (g_SkerrowOne.Runs > 0) {
        std::printf("%-10s %11.0f ms %11.1f MB\n", "Skerrow 1", g_SkerrowOne.WallMs, mb(g_SkerrowOne.PeakKb));
        std::printf("Skerrow / Skerrow one transfer at a time: %.2f  (goal: at most 1.05: %s)\n",
                    g_Skerrow.WallMs / g_SkerrowOne.WallMs,
                    verdict(g_Skerrow.WallMs <= 1.05 * g_SkerrowOne.WallMs));
    }
    std::printf("Skerrow's slowest request over all runs: %.1f ms  (goal: below 100 ms: %s)\n",
                g_Skerrow.SlowestMs, verdict(g_Skerrow.SlowestMs < 100));
    std::printf("Skerrow's peak memory: %.1f MB  (goal: below 3 x largest page + 20 MB = %.1f MB: %s)\n",
                mb(g_Skerrow.PeakKb), memoryGoalMb, verdict(mb(g_Skerrow.PeakKb) < memoryGoalMb));
}

// ---- Latency mode ----

/// The options of the latency mode, taken out of the command line before Google Benchmark reads it.
struct TLatencyOptions {
    std::vector<int> DelaysMs; ///< empty: the loopback benchmarks run instead
    int Runs = 2;
    int ServeMs = -1;   ///< 0 or more: only serve the issue with this delay, for runs by hand
    bool Https = false; ///< the https comparison instead
};

TLatencyOptions TakeLatencyOptions(int& Argc, char** Argv)
{
    TLatencyOptions options;
    int kept = 1;
    for (int i = 1; i < Argc; ++i) {
        const std::string arg = Argv[i];
        if (arg.rfind("--latency_ms=", 0) == 0) {
            std::istringstream list(arg.substr(13));
            for (std::string delay; std::getline(list, delay, ',');)
                options.DelaysMs.push_back(std::stoi(delay));
        } else if (arg.rfind("--latency_serve=", 0) == 0) {
            options.ServeMs = std::max(0, std::stoi(arg.substr(16)));
        } else if (arg == "--https") {
            options.Https = true;
        } else if (arg.rfind("--latency_runs=", 0) == 0) {
            options.Runs = std::max(1, std::stoi(arg.substr(15)));
        } else {
            Argv[kept++] = Argv[i];
        }
    }
    Argc = kept;
    return options;
}

/// The large issue served from memory by the tests' HTTP server as a proxy on loopback, every reply held
/// DelayMs first. Each connection has a thread of its own, so that no client waits for another.
class TLatencyServer {
  public:
    TLatencyServer(const std::unordered_map<std::string, std::string>& Bodies, int DelayMs)
    {
        m_Server.SetHandler([&Bodies, DelayMs](const std::string& Target, TestSupport::THttpReply& Reply) {
            const auto found = Bodies.find(Target);
            if (found == Bodies.end())
                return false;
            Reply.Body = found->second;
            Reply.Delay = std::chrono::milliseconds(DelayMs);
            return true;
        });
    }
    std::vector<std::string> ProxyEnv() const
    {
        return {"http_proxy=" + m_Server.ProxyUrl(), "no_proxy=", "NO_PROXY=", "LC_ALL=C.UTF-8"};
    }

  private:
    TestSupport::TTestHttpServer m_Server;
};

/// Every resource of the sample magazine by URL, written by samples.py and read back; and an input file
/// for aria2c that saves each URL under host/path as wget -x does (aria2c would name files by their
/// last part only, and same-named pictures would overwrite each other).
std::unordered_map<std::string, std::string> LoadMagazine(TSetup& Setup, fs::path& Aria2List)
{
    const fs::path dir = Setup.Work / "magazine";
    TChild writer({"python3", SAMPLE_MAGAZINE_DIR "/samples.py", "--large", dir.string()}, {});
    writer.ReadLines([](const std::string&, TClock::time_point) {});
    if (writer.Wait().ExitStatus != 0)
        throw std::runtime_error("samples.py --large failed");
    std::unordered_map<std::string, std::string> bodies;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file())
            continue;
        std::string path = fs::relative(entry.path(), dir).generic_string();
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream body;
        body << file.rdbuf();
        // A URL that ends in "/" was written as index.html.
        const std::string index = "index.html";
        if (path.size() > index.size() && path.compare(path.size() - index.size(), index.size(), index) == 0)
            bodies["http://" + path.substr(0, path.size() - index.size())] = body.str();
        bodies["http://" + path] = body.str();
    }
    Aria2List = Setup.Work / "aria2-urls.txt";
    std::ifstream urls(Setup.UrlList);
    std::ofstream aria2(Aria2List);
    for (std::string url; std::getline(urls, url);) {
        std::string out = url.substr(std::string("http://").size());
        if (out.back() == '/')
            out += "index.html";
        aria2 << url << "\n  out=" << out << "\n";
    }
    return bodies;
}

/// One tool of the comparison: its name, its command line (SAVE stands for its save directory) and,
/// for Skerrow, the number of transfers at once (empty: its default) and the issue's address (empty: the
/// large issue's over http).
struct TTool {
    std::string Name;
    std::vector<std::string> Args;
    std::string SkerrowConnections;
    std::string SkerrowUrl = std::string();
    bool IsSkerrow() const { return Args.empty(); }
};

std::vector<TTool> LatencyTools(const TSetup& Setup, const fs::path& Aria2List)
{
    const std::string list = Setup.UrlList.string();
    const std::vector<std::string> aria2 = {"aria2c",
                                            "-q",
                                            "-i",
                                            Aria2List.string(),
                                            "-d",
                                            "SAVE",
                                            "--allow-overwrite=true",
                                            "--auto-file-renaming=false",
                                            "--file-allocation=none",
                                            "--max-tries=1"};
    auto with = [](std::vector<std::string> Args, const std::string& Extra) {
        Args.push_back(Extra);
        return Args;
    };
    return {
        {"Skerrow (default: 6)", {}, ""},
        {"Skerrow 5 at once", {}, "5"},
        {"Skerrow 16 at once", {}, "16"},
        {"Skerrow 32 at once", {}, "32"},
        {"wget -i", {"wget", "-q", "-x", "-P", "SAVE", "-i", list}, ""},
        {"wget2 -i (default: 5)", {"wget2", "-q", "-x", "-P", "SAVE", "-i", list}, ""},
        {"wget2 -i, 16 threads", {"wget2", "-q", "-x", "--max-threads=16", "-P", "SAVE", "-i", list}, ""},
        {"aria2c -i -j5", with(aria2, "-j5"), ""},
        {"aria2c -i -j16", with(aria2, "-j16"), ""},
    };
}

/// The best wall time of Runs runs of Tool, in ms; negative when a run failed.
double BestWallMs(TSetup& Setup, const TTool& Tool, const std::vector<std::string>& ProxyEnv, int Runs)
{
    double best = -1;
    for (int run = 0; run < Runs; ++run) {
        TChild::TEnd end{};
        if (Tool.IsSkerrow()) {
            std::vector<std::string> env = ProxyEnv;
            if (!Tool.SkerrowConnections.empty())
                env.push_back("SKERROW_CONNECTIONS=" + Tool.SkerrowConnections);
            double slowest = 0;
            if (!RunSkerrow(env, end, slowest, Tool.SkerrowUrl.empty() ? kLargeIssueUrl : Tool.SkerrowUrl))
                return -1;
        } else {
            const fs::path save = Setup.NewSaveDir("peer");
            std::vector<std::string> args = Tool.Args;
            std::replace(args.begin(), args.end(), std::string("SAVE"), save.string());
            TChild child(args, ProxyEnv);
            child.ReadLines([](const std::string&, TClock::time_point) {});
            end = child.Wait();
            if (end.ExitStatus != 0)
                return -1;
        }
        best = best < 0 ? end.WallMs : std::min(best, end.WallMs);
    }
    return best;
}

/// Serves the large issue with a delay of DelayMs before each reply until standard input ends, for runs
/// and profiles by hand; prints the proxy environment to use and the issue's URL.
int ServeLatency(int DelayMs)
{
    TSetup& setup = Setup();
    fs::path aria2List;
    const std::unordered_map<std::string, std::string> bodies = LoadMagazine(setup, aria2List);
    const TLatencyServer server(bodies, DelayMs);
    for (const std::string& variable : server.ProxyEnv())
        std::printf("export %s\n", variable.c_str());
    std::printf("# %s, every reply held %d ms; the server stops when standard input ends\n", kLargeIssueUrl,
                DelayMs);
    std::fflush(stdout);
    while (std::cin.get() != EOF) {
    }
    return 0;
}

int RunLatencyComparison(const TLatencyOptions& Options)
{
    TSetup& setup = Setup();
    fs::path aria2List;
    const std::unordered_map<std::string, std::string> bodies = LoadMagazine(setup, aria2List);
    const std::vector<TTool> tools = LatencyTools(setup, aria2List);
    bool allMet = true;
    for (const int delay : Options.DelaysMs) {
        const TLatencyServer server(bodies, delay);
        std::vector<double> wall;
        for (const TTool& tool : tools)
            wall.push_back(BestWallMs(setup, tool, server.ProxyEnv(), Options.Runs));
        std::printf(
            "\nLatency %d ms before each reply: large sample issue, %zu URLs, %.1f MB; best of %d runs\n",
            delay, setup.Urls, static_cast<double>(setup.TotalBytes) / (1024 * 1024), Options.Runs);
        std::printf("%-24s %12s %18s %18s\n", "", "wall time", "Skerrow default /", "Skerrow 16 /");
        for (size_t i = 0; i < tools.size(); ++i) {
            if (wall[i] < 0) {
                std::printf("%-24s %12s\n", tools[i].Name.c_str(), "FAILED");
                continue;
            }
            std::printf("%-24s %9.0f ms %18.2f %18.2f\n", tools[i].Name.c_str(), wall[i], wall[0] / wall[i],
                        wall[2] / wall[i]);
        }
        const auto within = [&](const char* What, size_t Skerrow, size_t Other, double Ratio) {
            const bool met = wall[Skerrow] >= 0 && wall[Other] >= 0 && wall[Skerrow] <= Ratio * wall[Other];
            allMet = allMet && met;
            std::printf("  %-52s %s (%.2f)\n", What, met ? "met" : "NOT MET",
                        wall[Other] > 0 ? wall[Skerrow] / wall[Other] : 0.0);
        };
        within("Skerrow default <= wget2 default", 0, 5, 1);
        within("Skerrow 5 at once <= wget2 default (5 threads)", 1, 5, 1);
        within("Skerrow 5 at once <= aria2c -j5", 1, 7, 1);
        within("Skerrow 16 at once <= wget2 with 16 threads", 2, 6, 1);
        within("Skerrow 16 at once <= aria2c -j16", 2, 8, 1);
        within("Skerrow 16 at once <= 0.9 Skerrow default", 2, 0, 0.9);
        within("Skerrow 32 at once <= Skerrow 16 at once", 3, 2, 1);
    }
    return allMet ? 0 : 2;
}

// ---- https mode ----

/// Url (http://...) over https.
std::string OverHttps(const std::string& Url)
{
    return "https://" + Url.substr(std::string("http://").size());
}

int RunHttpsComparison(const TLatencyOptions& Options)
{
    TSetup& setup = Setup();
    const fs::path ca = setup.Work / "ca";
    TChild maker({"python3", SAMPLE_MAGAZINE_DIR "/sample_server.py", "--make-certificates", ca.string()},
                 {});
    maker.ReadLines([](const std::string&, TClock::time_point) {});
    if (maker.Wait().ExitStatus != 0)
        throw std::runtime_error("sample_server.py --make-certificates failed (is openssl installed?)");
    setup.StartSampleServer(
        {"--tls-cert", (ca / "server.pem").string(), "--tls-key", (ca / "server.key").string()});
    const fs::path httpsList = setup.Work / "https-urls.txt";
    {
        std::ifstream urls(setup.UrlList);
        std::ofstream https(httpsList);
        for (std::string url; std::getline(urls, url);)
            https << OverHttps(url) << '\n';
    }
    std::vector<std::string> env = setup.ProxyEnv();
    env.push_back("https_proxy=" + setup.Proxy);
    env.push_back("SSL_CERT_FILE=" + (ca / "ca.pem").string());
    const std::vector<TTool> tools = {
        {"Skerrow over http", {}, "", kLargeIssueUrl},
        {"Skerrow over https", {}, "", OverHttps(kLargeIssueUrl)},
        {"wget2 -i over https",
         {"wget2", "-q", "-x", "--ca-certificate=" + (ca / "ca.pem").string(), "-P", "SAVE", "-i",
          httpsList.string()},
         ""},
    };
    std::vector<double> wall;
    for (const TTool& tool : tools)
        wall.push_back(BestWallMs(setup, tool, env, Options.Runs));
    std::printf(
        "\nhttps at 0 ms: large sample issue, %zu URLs, %.1f MB, through the sample server's tunnels; "
        "best of %d runs\n",
        setup.Urls, static_cast<double>(setup.TotalBytes) / (1024 * 1024), Options.Runs);
    for (size_t i = 0; i < tools.size(); ++i) {
        if (wall[i] < 0)
            std::printf("%-22s %12s\n", tools[i].Name.c_str(), "FAILED");
        else
            std::printf("%-22s %9.0f ms\n", tools[i].Name.c_str(), wall[i]);
    }
    if (wall[0] < 0 || wall[1] < 0)
        return 2;
    std::printf("TLS cost: https / http wall time %.2f, %.2f ms per request\n", wall[1] / wall[0],
                (wall[1] - wall[0]) / static_cast<double>(setup.Urls));
    const bool met = wall[2] >= 0 && wall[1] <= wall[2];
    if (wall[2] >= 0)
        std::printf("Skerrow over https / wget2 over https: %.2f\n", wall[1] / wall[2]);
    std::printf("  %-52s %s\n", "Skerrow over https <= wget2 over https", met ? "met" : "NOT MET");
    return met ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    const TLatencyOptions latency = TakeLatencyOptions(argc, argv);
    if (latency.Https) {
        try {
            return RunHttpsComparison(latency);
        } catch (const std::exception& e) {
            std::cerr << "WholeRun: " << e.what() << '\n';
            return 1;
        }
    }
    if (latency.ServeMs >= 0 || !latency.DelaysMs.empty()) {
        try {
            return latency.ServeMs >= 0 ? ServeLatency(latency.ServeMs) : RunLatencyComparison(latency);
        } catch (const std::exception& e) {
            std::cerr << "WholeRun: " << e.what() << '\n';
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    try {
        Setup().StartSampleServer();
    } catch (const std::exception& e) {
        std::cerr << "WholeRun: " << e.what() << '\n';
        return 1;
    }
    RegisterLoopbackBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
