// Picture localisation and a picture scan over large pages: time must grow linearly with the page.
// Run with two page sizes (1 MB with 5,000 pictures and 4 MB with 20,000) and compare bytes per second;
// a plain search for "<img" over the same page is the floor.
//
// The whole processing of a site A contents page (articles queued, links renamed, picture cells rewritten,
// pictures localised, the page written) with 1,000 and 4,000 articles: linear, 4,000 under 20 ms; and the
// resolution of its 8,000 addresses alone, which libcurl's URL API does.
//
// Growth rows (--benchmark_filter=Growth): every page step (the contents and article pages of both sites
// as their tasks process them, background cells, picture links, pictures, links, the charset conversion)
// over every pathological shape of SyntheticPages.h at 1, 4 and 16 MB, the best of five runs in processor
// time (the machine may be shared); the table after the run prints the time of each size over the one
// before: goal at most 4.6 for 4 times the size, and 16 MB under 2 s. What is timed is the page step alone:
// a task's page is processed but not written (KeepWriteOut), and the memory that a step takes is the
// process's from the first run on (main keeps the heap), so that the kernel's page faults for fresh memory do
// not count.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "Generic_Parser.h"
#include "Logic.h"
#include "PopMech_Parser.h"
#include "RunState.h"
#include "SyntheticPages.h"
#include "VokrugSveta_Parser.h"
#include "libs/Charset.h"
#include "libs/RegexpWrapper.h"
#include "libs/Url.h"

namespace {

/// A page of about 200 bytes per picture: paragraphs of windows-1251 text, each with one picture in one of
/// the three attribute shapes.
std::string MakePage(int Pictures)
{
    std::string page = "<html><body><td class=\"block_header_main_inner\">\n";
    for (int i = 0; i < Pictures; ++i) {
        const std::string n = std::to_string(i);
        page += "<p>Абзац статьи номер " + n +
                ", в котором описан очередной узел механизма. Размеры указаны на схеме, в миллиметрах.</p>\n";
        switch (i % 3) {
        case 0:
            page += "<img src=\"/images/articles/pic" + n + ".jpg\" width=400 height=300 alt=\"Рисунок\">\n";
            break;
        case 1:
            page += "<img border=0 src = '/images/articles/pic" + n + ".gif' width=400>\n";
            break;
        default:
            page += "<img src=http://mag-a.test/images/articles/pic" + n + ".png width=400 height=300>\n";
            break;
        }
    }
    return page + "</td></body></html>\n";
}

class TBenchDir {
  public:
    TBenchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "skerrow-bench-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            std::abort();
        m_Path = pattern + "/";
    }
    ~TBenchDir() { std::filesystem::remove_all(m_Path); }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

void ProcessImagesOnPage(benchmark::State& State)
{
    const std::string original = MakePage(static_cast<int>(State.range(0)));
    const TBenchDir dir;
    for (auto _ : State) {
        State.PauseTiming();
        std::string page = original;
        State.ResumeTiming();
        ProcessImages(dir.Path(), page, BrintLib::TPageUrl("http://mag-a.test/magazine/2007-05/a.html"),
                      "2007_05_01");
        State.PauseTiming();
        while (!g_TaskQueue.IsEmpty())
            g_TaskQueue.Pop();
        State.ResumeTiming();
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(original.size()));
    State.counters["page_MB"] = static_cast<double>(original.size()) / 1e6;
}

void ScanPictures(benchmark::State& State)
{
    static TRegexp findImages(
        R"re(<img[^>]*?src\s*(?:=\s*"|=\s*'|=))re"
        R"re(((?:(?<=\s*")[^"]+(?="))|(?:(?<=\s*')[^']+(?='))|(?:(?<==)[^\s>"']+(?=[\s>])))[^>]*>)re",
        0);
    const std::string page = MakePage(static_cast<int>(State.range(0)));
    size_t found = 0;
    for (auto _ : State) {
        TRegexpScanner scanner(page);
        while (scanner.Find(findImages))
            ++found;
        benchmark::DoNotOptimize(found);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(page.size()));
    State.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
}

/// The floor: finding the tags' starts with std::string::find, no pattern at all.
void FindImgTagsPlain(benchmark::State& State)
{
    const std::string page = MakePage(static_cast<int>(State.range(0)));
    for (auto _ : State) {
        size_t found = 0;
        for (size_t at = page.find("<img"); at != std::string::npos; at = page.find("<img", at + 4))
            ++found;
        benchmark::DoNotOptimize(found);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(page.size()));
    State.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
}

void ContentsPageOfSiteA(benchmark::State& State)
{
    const std::size_t articles = static_cast<std::size_t>(State.range(0));
    const std::string page = SyntheticPages::MakeContentsPage(articles);
    const TBenchDir dir;
    const TRunState state; // takes each issue directory, as a run does
    std::size_t run = 0;
    for (auto _ : State) {
        State.PauseTiming();
        // Each run saves into a directory of its own: a saved page is never overwritten.
        if (!PopMech::ProcessUrl("http://mag-a.test/magazine/2007-05/", dir.Path() + std::to_string(++run)))
            std::abort();
        std::unique_ptr<ITask> task = g_TaskQueue.Pop();
        task->Begin();
        task->Receive(page.data(), page.size());
        State.ResumeTiming();
        task->Finish();
        State.PauseTiming();
        std::size_t queued = 0;
        for (; !g_TaskQueue.IsEmpty(); ++queued)
            g_TaskQueue.Pop();
        if (queued != 2 * articles + 1) // the articles, their thumbnails and the one small picture
            std::abort();
        State.ResumeTiming();
    }
    State.counters["articles"] = static_cast<double>(articles);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(page.size()));
}

/// An article page of site A whose article cell holds Count copies of Tag ("<img ", say) and nothing else
/// before the logs cell.
std::string MakeTagArticle(const std::string& Tag, std::size_t Count)
{
    std::string page = "<html><body><table><tr><td class=\"block_header_main_inner\">\n";
    page.reserve(page.size() + Tag.size() * Count + 200);
    for (std::size_t i = 0; i < Count; ++i)
        page += Tag;
    return page + "</td><td class=\"block_logs\">logs</td></tr></table></body></html>\n";
}

/// Seconds per byte of the whole processing of an article page (its task's Finish), by page shape.
std::map<std::string, double>& SecondsPerByte()
{
    static std::map<std::string, double> table;
    return table;
}

/// The whole processing of an article page of site A made by MakeTagArticle(Tag, Count): a page of
/// unclosed tags must cost no more per byte than one of closed tags (at most twice as much).
void ArticleOfTags(benchmark::State& State, const char* Name, const std::string& Tag, std::size_t Count)
{
    const std::string page = MakeTagArticle(Tag, Count);
    const std::string contents = SyntheticPages::MakeContentsPage(1);
    const TBenchDir dir;
    const TRunState state; // takes each issue directory, as a run does
    std::size_t run = 0;
    double seconds = 0;
    for (auto _ : State) {
        State.PauseTiming();
        if (!PopMech::ProcessUrl("http://mag-a.test/magazine/2007-05/", dir.Path() + std::to_string(++run)))
            std::abort();
        std::unique_ptr<ITask> title = g_TaskQueue.Pop();
        title->Begin();
        title->Receive(contents.data(), contents.size());
        title->Finish();
        std::unique_ptr<ITask> article = g_TaskQueue.Pop(); // the contents page queues its article first
        while (!g_TaskQueue.IsEmpty())
            g_TaskQueue.Pop();
        article->Begin();
        article->Receive(page.data(), page.size());
        const auto start = std::chrono::steady_clock::now();
        State.ResumeTiming();
        article->Finish();
        State.PauseTiming();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        while (!g_TaskQueue.IsEmpty())
            g_TaskQueue.Pop();
        State.ResumeTiming();
    }
    const double perByte =
        seconds / static_cast<double>(State.iterations()) / static_cast<double>(page.size());
    SecondsPerByte()[Name] = perByte;
    State.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
    State.counters["ns_per_byte"] = perByte * 1e9;
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(page.size()));
}

/// The engine alone: a scan of the page picture pattern (Pages.Image) over 1,000 pictures followed by Count
/// copies of Tag, the raw page with no reading copy: a rest without '>' must not be searched again by each
/// search of the scan (nor from each start of one).
void RegexScanOfTags(benchmark::State& State, const char* Name, const std::string& Tag, std::size_t Count)
{
    static TRegexp findImages = Compile(PageServicePatterns()[1]);
    std::string page;
    for (int i = 0; i < 1000; ++i)
        page += "<img src=\"/p/" + std::to_string(i) + ".jpg\">";
    page.reserve(page.size() + Tag.size() * Count);
    for (std::size_t i = 0; i < Count; ++i)
        page += Tag;
    std::size_t found = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : State) {
        TRegexpScanner scanner(page);
        while (scanner.Find(findImages))
            ++found;
        benchmark::DoNotOptimize(found);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double perByte =
        seconds / static_cast<double>(State.iterations()) / static_cast<double>(page.size());
    SecondsPerByte()[Name] = perByte;
    State.counters["ns_per_byte"] = perByte * 1e9;
    State.counters["page_MB"] = static_cast<double>(page.size()) / 1e6;
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(page.size()));
}

/// The share of libcurl in a contents page: each article and each thumbnail is one distinct root-relative
/// address, resolved once (a contents page of 4,000 articles resolves 8,000).
void ResolveRootRelative(benchmark::State& State)
{
    const int addresses = static_cast<int>(State.range(0));
    std::vector<std::string> references;
    for (int i = 0; i < addresses; ++i)
        references.push_back("/magazine/2007-05/article-" + std::to_string(i) + ".html");
    std::string url;
    for (auto _ : State) {
        const BrintLib::TPageUrl page("http://mag-a.test/magazine/2007-05/");
        for (const std::string& reference : references) {
            if (!page.Resolve(reference, url))
                std::abort();
        }
        benchmark::DoNotOptimize(url);
    }
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations()) * addresses);
}

// ---------------------------------------------------------------------------------------------------------
// Growth of every page step over pathological shapes

/// The processor time of the calling thread, in seconds: what a step costs, whatever else the machine runs.
double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/// Drops every queued task.
void DropQueue()
{
    while (!g_TaskQueue.IsEmpty())
        g_TaskQueue.Pop();
}

/// Keeps the write of the page to SavePath's issue directory (2007_05, that of every page below) as File out
/// of a step: a file is there already, so that the task raises once the page is processed, as it does on a
/// second run, instead of writing it. The kernel's copying and page-cache work for a saved page grows with
/// the machine's state (dirty pages waiting to be written back), not with the page step.
void KeepWriteOut(const std::string& SavePath, const char* File)
{
    std::filesystem::create_directories(SavePath + "/2007_05");
    std::FILE* const placeholder = std::fopen((SavePath + "/2007_05/" + File).c_str(), "w");
    if (placeholder == nullptr)
        std::abort();
    std::fclose(placeholder);
}

/// Processor seconds of Task's Finish, where its page is processed (the page is not written: KeepWriteOut),
/// given Page with ContentType. A page that its step refuses (raising) ends the step there; that time counts
/// too.
double TimeTask(std::unique_ptr<ITask> Task, const std::string& Page, const std::string& ContentType = "")
{
    Task->Begin();
    Task->Reply(TReply{Task->GetUrl(), ContentType});
    Task->Receive(Page.data(), Page.size());
    const double start = ThreadSeconds();
    try {
        Task->Finish();
    } catch (...) {
    }
    const double seconds = ThreadSeconds() - start;
    DropQueue();
    return seconds;
}

/// The processor seconds that Run takes.
double TimeCall(const std::function<void()>& Run)
{
    const double start = ThreadSeconds();
    try {
        Run();
    } catch (...) {
    }
    return ThreadSeconds() - start;
}

/// A fresh save path for each run below the benchmark's directory: nothing saved is ever met again.
std::string FreshSavePath(const TBenchDir& Dir)
{
    static std::size_t run = 0;
    return Dir.Path() + "growth" + std::to_string(++run);
}

/// The first task that the contents task Title queues after processing Page: its first article's.
std::unique_ptr<ITask> FirstArticle(std::unique_ptr<ITask> Title, const std::string& Page)
{
    Title->Begin();
    Title->Receive(Page.data(), Page.size());
    Title->Finish();
    std::unique_ptr<ITask> article = g_TaskQueue.Pop();
    DropQueue();
    return article;
}

/// A contents page of site B with one article row, Content after it in its table.
std::string SiteBContents(const std::string& Content)
{
    return "<html><head><title>t</title></head><body><div class=\"content_zone\"><img src=\"/c.jpg\" />"
           "<h1>Журнал № 5, Май 2007</h1><table>\n<tr><td><a href=\"/m/2007/05/a/\">A</a></td><td><div "
           "class=\"descr\">d</div></td></tr>\n" +
           Content + "</table><div class=\"content\">x</div></div></body></html>\n";
}

/// The contents task of site A or B, saving below SavePath.
std::unique_ptr<ITask> SiteTask(bool SiteA, const std::string& SavePath)
{
    const bool queued = SiteA ? PopMech::ProcessUrl("http://mag-a.test/magazine/2007-05/", SavePath)
                              : VokrugSveta::ProcessUrl("http://mag-b.test/m/2007/05/", SavePath);
    if (!queued)
        std::abort();
    return g_TaskQueue.Pop();
}

/// The seconds of the contents step of site A or B over Page, the page not written.
double ContentsStep(bool SiteA, const std::string& Page, const TBenchDir& Dir)
{
    const std::string savePath = FreshSavePath(Dir);
    KeepWriteOut(savePath, "2007_05_00.htm");
    return TimeTask(SiteTask(SiteA, savePath), Page);
}

/// The seconds of the article step of site A or B over Page, its contents page Contents, the page not
/// written.
double ArticleStep(bool SiteA, const std::string& Contents, const std::string& Page, const TBenchDir& Dir)
{
    const std::string savePath = FreshSavePath(Dir);
    std::unique_ptr<ITask> article = FirstArticle(SiteTask(SiteA, savePath), Contents);
    KeepWriteOut(savePath, "2007_05_01.htm");
    return TimeTask(std::move(article), Page);
}

/// One page step: the seconds it takes over a page made around Content.
struct TPageStep {
    const char* Name;
    std::function<double(const std::string& Content, const TBenchDir& Dir)> Run;
};

const std::vector<TPageStep>& PageSteps()
{
    static const std::vector<TPageStep> steps = {
        {"A contents",
         [](const std::string& Content, const TBenchDir& Dir) {
             std::string page = SyntheticPages::MakeContentsPage(2);
             page.insert(page.find("</table>\n<noindex>"), Content);
             return ContentsStep(true, page, Dir);
         }},
        {"A article",
         [](const std::string& Content, const TBenchDir& Dir) {
             return ArticleStep(true, SyntheticPages::MakeContentsPage(1),
                                "<html><body><table><tr><td class=\"block_header_main_inner\">\n" + Content +
                                    "</td><td class=\"block_logs\">logs</td></tr></table></body></html>\n",
                                Dir);
         }},
        {"B contents", [](const std::string& Content,
                          const TBenchDir& Dir) { return ContentsStep(false, SiteBContents(Content), Dir); }},
        {"B article",
         [](const std::string& Content, const TBenchDir& Dir) {
             return ArticleStep(false, SiteBContents(""),
                                "<html><head><title>t</title></head><body><h1>T</h1>" + Content +
                                    "<div class=\"reflink_descr\">r</div></body></html>\n",
                                Dir);
         }},
        {"background cells",
         [](const std::string& Content, const TBenchDir&) {
             return TimeCall([&] {
                 THtmlPage page(Content);
                 PopMech::ReplaceBackgroundCells(page);
             });
         }},
        {"picture links",
         [](const std::string& Content, const TBenchDir&) {
             return TimeCall([&] {
                 THtmlPage page(Content);
                 PopMech::FlattenImageLinks(page);
             });
         }},
        {"pictures",
         [](const std::string& Content, const TBenchDir& Dir) {
             const double seconds = TimeCall([&] {
                 THtmlPage page(Content);
                 ProcessImages(FreshSavePath(Dir) + "/", page,
                               BrintLib::TPageUrl("http://mag-a.test/magazine/2007-05/a.html"), "2007_05_01");
             });
             DropQueue();
             return seconds;
         }},
        {"links",
         [](const std::string& Content, const TBenchDir&) {
             return TimeCall([&] {
                 const BrintLib::TPageUrl url("http://mag-a.test/magazine/2007-05/");
                 const TLocalFiles files = {
                     {url.Resolve(std::string_view("/m/2007/05/a/")), "2007_05_01.htm"}};
                 THtmlPage renamed;
                 RenameLinks(THtmlPage(Content), url, files, renamed);
             });
         }},
        {"charset",
         [](const std::string& Content, const TBenchDir&) {
             return TimeCall([&] {
                 std::string page = Content;
                 BrintLib::PageToCp1251(page, "text/html; charset=koi8-r");
             });
         }},
    };
    return steps;
}

constexpr std::array<std::size_t, 3> kGrowthSizes = {1 << 20, 4 << 20, 16 << 20};

/// The seconds of each growth row by step and shape, one per size.
std::map<std::pair<std::string, std::string>, std::array<double, kGrowthSizes.size()>>& GrowthSeconds()
{
    static std::map<std::pair<std::string, std::string>, std::array<double, kGrowthSizes.size()>> table;
    return table;
}

void RegisterGrowthRows()
{
    for (const TPageStep& step : PageSteps()) {
        for (const SyntheticPages::TShape& shape : SyntheticPages::kPathologicalShapes) {
            for (std::size_t size = 0; size < kGrowthSizes.size(); ++size) {
                const std::string name = std::string("Growth/") + step.Name + "/" + shape.Name + "/" +
                                         std::to_string(kGrowthSizes[size] >> 20) + "MB";
                benchmark::RegisterBenchmark(name.c_str(),
                                             [&step, &shape, size](benchmark::State& State) {
                                                 const std::string content =
                                                     SyntheticPages::MakeShape(shape, kGrowthSizes[size]);
                                                 const TBenchDir dir;
                                                 // The best of five runs: the least disturbed.
                                                 double seconds = 1e9;
                                                 for (auto _ : State) {
                                                     const double run = step.Run(content, dir);
                                                     seconds = std::min(seconds, run);
                                                     State.SetIterationTime(run);
                                                 }
                                                 GrowthSeconds()[{step.Name, shape.Name}][size] = seconds;
                                             })
                    ->UseManualTime()
                    ->Iterations(5)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
}

/// The growth table: for each step and shape that ran at every size, the time at each size and its ratio
/// to the size before; a missed goal is marked.
void PrintGrowth()
{
    if (GrowthSeconds().empty())
        return;
    std::printf("\n%-18s %-32s %9s %9s %9s %7s %7s\n", "step", "shape", "1 MB s", "4 MB s", "16 MB s", "4/1",
                "16/4");
    double worst = 0;
    for (const auto& [key, seconds] : GrowthSeconds()) {
        const double floor = 1e-4; // below a tenth of a millisecond a ratio is noise
        const double first = std::max(seconds[0], floor), second = std::max(seconds[1], floor);
        const double third = std::max(seconds[2], floor);
        const double growth = std::max(second / first, third / second);
        worst = std::max(worst, growth);
        std::printf("%-18s %-32s %9.4f %9.4f %9.4f %7.2f %7.2f%s\n", key.first.c_str(), key.second.c_str(),
                    seconds[0], seconds[1], seconds[2], second / first, third / second,
                    growth > 4.6 || seconds[2] > 2 ? "  <- goal missed" : "");
    }
    std::printf("worst growth for 4 times the size: %.2f (goal 4.6)\n", worst);
}

} // namespace

BENCHMARK(ResolveRootRelative)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK(ContentsPageOfSiteA)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(ProcessImagesOnPage)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(ScanPictures)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(FindImgTagsPlain)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

// Pages of 400k tags (2 MB) and one of 12 million unclosed picture tags (60 MB).
BENCHMARK_CAPTURE(ArticleOfTags, ClosedTags, "ClosedTags", std::string("<b>"), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ArticleOfTags, UnclosedImg, "UnclosedImg", std::string("<img "), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ArticleOfTags, UnclosedA, "UnclosedA", std::string("<a "), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ArticleOfTags, UnclosedTd, "UnclosedTd", std::string("<td "), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RegexScanOfTags, ClosedTags, "RegexClosedTags", std::string("<b>"), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RegexScanOfTags, UnclosedImg, "RegexUnclosedImg", std::string("<img "), 400000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ArticleOfTags, UnclosedImg60MB, "UnclosedImg60MB", std::string("<img "), 12000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

int main(int argc, char** argv)
{
    // Memory freed by a run is kept for the next, not handed back to the kernel: a page step's memory is
    // faulted in once, by the first of its runs.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RegisterGrowthRows();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintGrowth();
    // Time per byte of each page of unclosed tags over that of the page of closed tags of the same kind
    // (the whole processing of an article, or the engine's scan alone): goal <= 2.
    for (const auto& [name, perByte] : SecondsPerByte()) {
        const std::string closedName = name.rfind("Regex", 0) == 0 ? "RegexClosedTags" : "ClosedTags";
        const auto closed = SecondsPerByte().find(closedName);
        if (name == closedName || closed == SecondsPerByte().end() || closed->second <= 0)
            continue;
        const double ratio = perByte / closed->second;
        std::printf("%-20s %6.2f x the time per byte of %s%s\n", name.c_str(), ratio, closedName.c_str(),
                    ratio > 2 ? "  <- goal missed" : "");
    }
    return 0;
}
