// Speed of the regular-expression engine on every pattern of the program, run the way the program runs it,
// over synthetic windows-1251 pages of 100 KB, 1 MB and 4 MB, beside PCRE2's interpreter and its JIT.
//
//   RegexBench                       full run (a couple of minutes), table at the end
//   SKERROW_BENCH_QUICK=1 RegexBench a few passes per case (seconds), for a quick look
//   RegexBench --benchmark_filter=K  any Google Benchmark option; names read pattern/size/engine
//
// Goals, checked in the table: every pattern at least as fast as PCRE2's interpreter (regex/pcre2 <= 1),
// within 3x of its JIT (regex/jit <= 3), and linear (the 4 MB time at most 4.5x the 1 MB time).
#include "Driver.h"
#include "regex/Regex.h"

#include "SyntheticPages.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------------------
// The program's patterns, from its own table, each over the subject the program runs it over.
enum class ESubject {
    Page,          // scanned over a page, each search starting where the previous match ended
    FailingPage,   // searched once over a page where it does not match
    PictureValues, // searched in each picture address of a page (the program's picture-type checks)
    LinkValues,    // searched in each link target around a picture
    Urls,          // searched in issue addresses
};

enum class EPage { Normal, NoContentZone, NoReflinkDescr, YearBlank };

// A pattern of the program's table (ProgramPatterns) and the subject it is run over; the case is named
// after the pattern, with Suffix.
struct TPatternCase {
    const char* Pattern;
    ESubject Subject;
    EPage Page;
    const char* Suffix;
};

const TPatternCase kPatterns[] = {
    {"Pages.Link", ESubject::Page, EPage::Normal, ""},
    {"Pages.Image", ESubject::Page, EPage::Normal, ""},
    {"Pages.PictureType", ESubject::PictureValues, EPage::Normal, ""},
    {"A.MainBlock", ESubject::Page, EPage::Normal, ""},
    {"A.ContentsTable", ESubject::Page, EPage::Normal, ""},
    {"A.IssueLink", ESubject::Page, EPage::Normal, ""},
    {"A.NoIndex", ESubject::Page, EPage::Normal, ""},
    {"A.ArticleLink", ESubject::Page, EPage::Normal, ""},
    {"A.Href", ESubject::Page, EPage::Normal, ""},
    {"A.ArticleBlock", ESubject::Page, EPage::Normal, ""},
    {"A.LogsBlock", ESubject::Page, EPage::Normal, ""},
    {"A.CommentsAnchor", ESubject::Page, EPage::Normal, ""},
    {"A.DotsBlock", ESubject::Page, EPage::Normal, ""},
    {"A.BackgroundCell", ESubject::Page, EPage::Normal, ""},
    {"A.CellLink", ESubject::Page, EPage::Normal, ""},
    {"A.ImageLink", ESubject::Page, EPage::Normal, ""},
    {"A.ImageTarget", ESubject::LinkValues, EPage::Normal, ""},
    {"A.UrlPrefix", ESubject::Urls, EPage::Normal, ""},
    {"A.Host", ESubject::Urls, EPage::Normal, ""},
    {"B.UrlPrefix", ESubject::Urls, EPage::Normal, ""},
    {"B.Host", ESubject::Urls, EPage::Normal, ""},
    {"B.RowStart", ESubject::Page, EPage::Normal, ""},
    {"B.Row", ESubject::Page, EPage::Normal, ""},
    {"B.RowLink", ESubject::Page, EPage::Normal, ""},
    {"B.Head", ESubject::Page, EPage::Normal, ""},
    {"B.Heading", ESubject::Page, EPage::Normal, ""},
    {"B.Article", ESubject::Page, EPage::Normal, ""},
    {"B.Heading", ESubject::FailingPage, EPage::NoContentZone, ".fails"},
    {"B.Heading", ESubject::FailingPage, EPage::YearBlank, ".yearblank"},
    {"B.Article", ESubject::FailingPage, EPage::NoReflinkDescr, ".fails"},
};

// The program's pattern named Name.
const TPagePattern& ProgramPattern(const std::string& Name)
{
    static const TPagePatterns patterns = ProgramPatterns();
    return FindPattern(patterns, Name);
}

std::string CaseName(const TPatternCase& Case)
{
    return std::string(Case.Pattern) + Case.Suffix;
}

const std::size_t kSizes[] = {100 * 1024, 1024 * 1024, 4 * 1024 * 1024};

std::string SizeName(std::size_t Size)
{
    return Size >= 1024 * 1024 ? std::to_string(Size / (1024 * 1024)) + "MB"
                               : std::to_string(Size / 1024) + "KB";
}

// PCRE2 has no look-behind of variable width; (?<=\s*X) holds exactly when (?<=X) holds.
std::string ForPcre2(std::string Pattern)
{
    const std::string from = R"((?<=\s*)", to = "(?<=";
    for (std::size_t at = Pattern.find(from); at != std::string::npos; at = Pattern.find(from, at)) {
        Pattern.replace(at, from.size(), to);
    }
    return Pattern;
}

// ---------------------------------------------------------------------------------------------------------
// One search interface over the three engines. Search looks for the next match in [From, End) as a subject
// of its own (look-behind sees nothing before From), and gives the match as offsets into the text.
class IMatcher {
  public:
    virtual ~IMatcher() = default;
    // False when nothing matched; Begin/End of the whole match otherwise.
    virtual bool Search(const std::string& Text, std::size_t From, std::size_t End, std::size_t& Begin,
                        std::size_t& MatchEnd) = 0;
};

class TEngineMatcher : public IMatcher {
  public:
    TEngineMatcher(const std::string& Pattern, int Flags)
        : m_Pattern(Pattern, static_cast<unsigned>(Flags), regex::MODE_RECURSIVE)
    {
    }
    bool Search(const std::string& Text, std::size_t From, std::size_t End, std::size_t& Begin,
                std::size_t& MatchEnd) override
    {
        const auto first = Text.begin() + static_cast<std::ptrdiff_t>(From);
        if (!m_Pattern.match(first, Text.begin() + static_cast<std::ptrdiff_t>(End), m_Results)) {
            return false;
        }
        Begin = static_cast<std::size_t>(m_Results[0].first - Text.begin());
        MatchEnd = static_cast<std::size_t>(m_Results[0].second - Text.begin());
        return true;
    }

  private:
    regex::basic_rpattern<std::string::const_iterator, regex::perl_syntax<char>> m_Pattern;
    regex::basic_match_results<std::string::const_iterator> m_Results;
};

struct TPcre2Free {
    void operator()(pcre2_code* Code) const { pcre2_code_free(Code); }
    void operator()(pcre2_match_data* Data) const { pcre2_match_data_free(Data); }
    void operator()(pcre2_compile_context* Context) const { pcre2_compile_context_free(Context); }
    void operator()(pcre2_match_context* Context) const { pcre2_match_context_free(Context); }
};

class TPcre2Matcher : public IMatcher {
  public:
    TPcre2Matcher(const std::string& Pattern, int Flags, bool Jit)
    {
        std::unique_ptr<pcre2_compile_context, TPcre2Free> context(pcre2_compile_context_create(nullptr));
        pcre2_set_newline(context.get(), PCRE2_NEWLINE_LF);
        const std::string text = ForPcre2(Pattern);
        int error = 0;
        PCRE2_SIZE offset = 0;
        m_Code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                   ((Flags & regex::SINGLELINE) ? PCRE2_DOTALL : 0) |
                                       ((Flags & regex::NOCASE) ? PCRE2_CASELESS : 0),
                                   &error, &offset, context.get()));
        if (!m_Code) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(error, message, sizeof message);
            throw std::runtime_error("PCRE2 rejects " + text + ": " + reinterpret_cast<const char*>(message));
        }
        if (Jit && pcre2_jit_compile(m_Code.get(), PCRE2_JIT_COMPLETE) != 0) {
            throw std::runtime_error("PCRE2 JIT is not available");
        }
        m_Data.reset(pcre2_match_data_create_from_pattern(m_Code.get(), nullptr));
        // The program's searches run to the end, however long: no match limit for the peer either.
        pcre2_set_match_limit(m_Context.get(), 0xFFFFFFFFu);
        pcre2_set_depth_limit(m_Context.get(), 0xFFFFFFFFu);
        pcre2_set_heap_limit(m_Context.get(), 0xFFFFFFFFu);
    }
    bool Search(const std::string& Text, std::size_t From, std::size_t End, std::size_t& Begin,
                std::size_t& MatchEnd) override
    {
        const int rc = pcre2_match(m_Code.get(), reinterpret_cast<PCRE2_SPTR>(Text.data() + From), End - From,
                                   0, 0, m_Data.get(), m_Context.get());
        if (rc == PCRE2_ERROR_NOMATCH) {
            return false;
        }
        if (rc < 0) {
            throw std::runtime_error("PCRE2 match error " + std::to_string(rc));
        }
        m_From = From;
        m_Groups = static_cast<unsigned>(rc);
        return Group(0, Begin, MatchEnd);
    }

    // Group I of the last match, false when it took no part.
    bool Group(unsigned I, std::size_t& Begin, std::size_t& End) const
    {
        const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(m_Data.get());
        if (I >= m_Groups || vector[2 * I] == PCRE2_UNSET) {
            return false;
        }
        Begin = m_From + vector[2 * I];
        End = m_From + vector[2 * I + 1];
        return true;
    }

  private:
    std::unique_ptr<pcre2_code, TPcre2Free> m_Code;
    std::unique_ptr<pcre2_match_data, TPcre2Free> m_Data;
    std::unique_ptr<pcre2_match_context, TPcre2Free> m_Context{pcre2_match_context_create(nullptr)};
    std::size_t m_From = 0;
    unsigned m_Groups = 0;
};

const char* const kEngines[] = {"regex", "pcre2", "pcre2-jit"};

std::unique_ptr<IMatcher> MakeMatcher(const std::string& Engine, const TPatternCase& Case)
{
    if (Engine == "regex") {
        return std::make_unique<TEngineMatcher>(ProgramPattern(Case.Pattern).Text,
                                                ProgramPattern(Case.Pattern).Flags);
    }
    return std::make_unique<TPcre2Matcher>(ProgramPattern(Case.Pattern).Text,
                                           ProgramPattern(Case.Pattern).Flags, Engine == "pcre2-jit");
}

// ---------------------------------------------------------------------------------------------------------
// Subjects: the pages, and the short texts the program searches (picture addresses, link targets, issue
// addresses), taken from the page with PCRE2.
struct TSubjects {
    std::string Page;
    std::vector<std::string> Values;
    std::size_t Bytes = 0;
};

// Group 1 of every match of a scan of the pattern Text with Flags.
std::vector<std::string> Groups(const std::string& Page, const std::string& Text, int Flags)
{
    TPcre2Matcher finder(Text, Flags, true);
    std::vector<std::string> values;
    std::size_t from = 0, begin = 0, end = 0;
    while (finder.Search(Page, from, Page.size(), begin, end)) {
        std::size_t groupBegin = 0, groupEnd = 0;
        if (finder.Group(1, groupBegin, groupEnd)) {
            values.emplace_back(Page, groupBegin, groupEnd - groupBegin);
        }
        from = end > begin ? end : end + 1;
    }
    return values;
}

// Group 1 of every match of a scan of the program's pattern Pattern.
std::vector<std::string> Groups(const std::string& Page, const char* Pattern)
{
    return Groups(Page, ProgramPattern(Pattern).Text, ProgramPattern(Pattern).Flags);
}

const TSubjects& Subjects(ESubject Kind, EPage PageKind, std::size_t Size)
{
    static std::map<std::tuple<ESubject, EPage, std::size_t>, TSubjects> cache;
    const auto key = std::make_tuple(Kind, PageKind, Size);
    auto found = cache.find(key);
    if (found != cache.end()) {
        return found->second;
    }
    SyntheticPages::TPageOptions options;
    options.Size = Size;
    options.ContentZone = PageKind != EPage::NoContentZone;
    options.ReflinkDescr = PageKind != EPage::NoReflinkDescr;
    TSubjects subjects;
    subjects.Page = SyntheticPages::MakePage(options);
    if (PageKind == EPage::YearBlank) {
        // The contents heading reads "<month> 2007 </h1>": K finds its zone, pictures and rows, never a
        // year right before "</h1>", and fails.
        const std::size_t year = subjects.Page.find(" 2007</h1>");
        if (year != std::string::npos) {
            subjects.Page.insert(year + 5, " ");
        }
    }
    switch (Kind) {
    case ESubject::Page:
    case ESubject::FailingPage:
        break;
    case ESubject::PictureValues:
        // The src values of the page's picture tags.
        subjects.Values = Groups(subjects.Page, R"re(<img[^>]*?src\s*=\s*["']?([^"'\s>]+))re", 0);
        break;
    case ESubject::LinkValues:
        subjects.Values = Groups(subjects.Page, "A.ImageLink");
        break;
    case ESubject::Urls: {
        const char* const hosts[] = {"http://mag-a.test", "mag-a-archive.test", "http://www.mag-b.test",
                                     "mag-b.test", "http://other.example"};
        std::size_t n = 0;
        for (const std::string& href : Groups(subjects.Page, "A.Href")) {
            const std::string host = hosts[n++ % 5];
            subjects.Values.push_back(href.compare(0, 7, "http://") == 0 ? href
                                      : href[0] == '/'                   ? host + href
                                                                         : host + "/" + href);
        }
        break;
    }
    }
    if (subjects.Values.empty()) {
        subjects.Bytes = subjects.Page.size();
    } else {
        for (const std::string& value : subjects.Values) {
            subjects.Bytes += value.size();
        }
        subjects.Page.clear();
    }
    return cache.emplace(key, std::move(subjects)).first->second;
}

// What one pass found, to check that the engines agree.
struct TTally {
    std::size_t Matches = 0;
    std::size_t MatchedBytes = 0;
};

// One pass the way the program runs the pattern.
TTally Run(IMatcher& Matcher, ESubject Kind, const TSubjects& Subjects)
{
    TTally tally;
    std::size_t begin = 0, end = 0;
    if (Kind == ESubject::Page || Kind == ESubject::FailingPage) {
        std::size_t from = 0;
        while (from <= Subjects.Page.size() &&
               Matcher.Search(Subjects.Page, from, Subjects.Page.size(), begin, end)) {
            ++tally.Matches;
            tally.MatchedBytes += end - begin;
            from = end > from ? end : from + 1; // the program's patterns never match empty
        }
        return tally;
    }
    for (const std::string& value : Subjects.Values) {
        if (Matcher.Search(value, 0, value.size(), begin, end)) {
            ++tally.Matches;
            tally.MatchedBytes += end - begin;
        }
    }
    return tally;
}

// ---------------------------------------------------------------------------------------------------------
// Results, gathered for the table at the end.
struct TResult {
    double Seconds = 0; // per pass
    double Bytes = 0;
    TTally Tally;
};
// Key: pattern/size/engine.
std::map<std::string, TResult>& Results()
{
    static std::map<std::string, TResult> results;
    return results;
}

bool Quick()
{
    const char* quick = std::getenv("SKERROW_BENCH_QUICK");
    return quick && *quick && std::string(quick) != "0";
}

void RegisterAll()
{
    for (const TPatternCase& c : kPatterns) {
        for (std::size_t size : kSizes) {
            for (const char* engine : kEngines) {
                if (c.Page == EPage::YearBlank && size > kSizes[0] && std::string(engine) != "regex") {
                    continue; // the peers backtrack cubically here: about a second at 100 KB already
                }
                const std::string name = CaseName(c) + "/" + SizeName(size) + "/" + engine;
                auto* bench = benchmark::RegisterBenchmark(
                    name.c_str(), [&c, size, engine, name](benchmark::State& state) {
                        const TSubjects& subjects = Subjects(c.Subject, c.Page, size);
                        std::unique_ptr<IMatcher> matcher = MakeMatcher(engine, c);
                        TTally tally;
                        for (auto _ : state) {
                            tally = Run(*matcher, c.Subject, subjects);
                            benchmark::DoNotOptimize(tally);
                        }
                        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                                                static_cast<std::int64_t>(subjects.Bytes));
                        state.counters["matches"] = static_cast<double>(tally.Matches);
                        TResult& result = Results()[name];
                        result.Bytes = static_cast<double>(subjects.Bytes);
                        result.Tally = tally;
                    });
                bench->Unit(benchmark::kMillisecond);
                bench->MinTime(Quick() ? 0.02 : 0.15);
            }
        }
    }
}

// Keeps the console output of Google Benchmark and records each case's processor time per pass: on a
// machine shared with builds, wall time mostly measures the neighbours.
class TTableReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& Runs) override
    {
        for (const Run& run : Runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                Results()[run.run_name.function_name].Seconds =
                    run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(Runs);
    }
};

std::string Format(const char* Layout, double Value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, Layout, Value);
    return buffer;
}

void PrintTable()
{
    std::printf("\n%-20s %5s %10s %10s %10s %9s %9s %8s %7s\n", "pattern", "size", "regex MB/s", "pcre2 MB/s",
                "jit MB/s", "vs pcre2", "vs jit", "4MB/1MB", "agree");
    unsigned misses = 0;
    for (const TPatternCase& c : kPatterns) {
        for (std::size_t size : kSizes) {
            const std::string base = CaseName(c) + "/" + SizeName(size) + "/";
            auto found = Results().find(base + "regex");
            if (found == Results().end() || found->second.Seconds <= 0) {
                continue;
            }
            const TResult& ours = found->second;
            const TResult& interp = Results()[base + "pcre2"];
            const TResult& jit = Results()[base + "pcre2-jit"];
            auto speed = [](const TResult& r) { return r.Seconds > 0 ? r.Bytes / r.Seconds / 1e6 : 0.0; };
            auto ratio = [&ours](const TResult& r) { return r.Seconds > 0 ? ours.Seconds / r.Seconds : 0.0; };
            std::string linear = "";
            bool miss = false;
            if (size == kSizes[2]) {
                const TResult& mid = Results()[CaseName(c) + "/" + SizeName(kSizes[1]) + "/regex"];
                if (mid.Seconds > 0) {
                    const double growth = ours.Seconds / mid.Seconds;
                    linear = Format("%.2f", growth);
                    miss |= growth > 4.5;
                }
            }
            miss |= interp.Seconds > 0 && ratio(interp) > 1.0;
            miss |= jit.Seconds > 0 && ratio(jit) > 3.0;
            const bool agree = interp.Seconds <= 0 || (interp.Tally.Matches == ours.Tally.Matches &&
                                                       interp.Tally.MatchedBytes == ours.Tally.MatchedBytes);
            misses += miss ? 1 : 0;
            std::printf("%-20s %5s %10.1f %10.1f %10.1f %9s %9s %8s %7s%s\n", CaseName(c).c_str(),
                        SizeName(size).c_str(), speed(ours), speed(interp), speed(jit),
                        interp.Seconds > 0 ? Format("%.2f", ratio(interp)).c_str() : "-",
                        jit.Seconds > 0 ? Format("%.2f", ratio(jit)).c_str() : "-", linear.c_str(),
                        agree ? "yes" : "NO", miss ? "  <- goal missed" : "");
        }
    }
    std::printf("\nMB/s from processor time. vs pcre2, vs jit: the engine's time over the peer's (goals: <= "
                "1 and <= 3); 4MB/1MB: the "
                "engine's time growth (goal <= 4.5); agree: same matches as PCRE2. Goals missed: %u\n",
                misses);
}

} // namespace

int main(int argc, char** argv)
{
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    TTableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintTable();
    return 0;
}
