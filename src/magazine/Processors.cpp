#include "magazine/Processors.h"

#include <iostream>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "ErrorLog.h"
#include "Generic_Parser.h"
#include "HtmlTags.h"
#include "RunState.h"
#include "libs/Charset.h"
#include "libs/CoutConvert.h"
#include "libs/Exceptions.h"
#include "libs/RegexpWrapper.h"
#include "libs/Url.h"
#include "libs/strings.h"
#include "magazine/ArticlePage.h"

namespace Magazine {

namespace {

/// The head of every saved page; the page's title follows.
const char kHead[] =
    "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
    "<title>";

/// A long article has at most this many pages; a next link beyond them (or back to a page fetched) is not
/// followed.
constexpr size_t kMaxArticlePages = 100;

const char* const kEnglishMonths[12] = {"january",   "february", "march",    "april",
                                        "may",       "june",     "july",     "august",
                                        "september", "october",  "november", "december"};

/// The local pages of the issue's articles by their addresses (the link's, and the address fetched when
/// the description fetches another one).
using TArticleFiles = std::map<std::string, std::string, std::less<>>;

/// One article being copied, shared by the tasks of its pages.
struct TArticle {
    std::shared_ptr<const TDescription> Description;
    std::shared_ptr<const TArticleFiles> Files;
    TSharedPageList Pages;
    std::string Dir;       ///< the issue directory, ending with the separator
    std::string PageName;  ///< issue name, '_', index
    size_t Index = 0;      ///< in Pages
    std::string LinkTitle; ///< the link's text on the contents page
    std::string Title;     ///< article.title's text on its first page
    std::string Text;      ///< the kept elements of the pages fetched so far
    std::set<std::string> Fetched;
};

/// Downloads one page of an article; the last page (the one without a next page) saves the article.
class TArticleTask : public TPageTask {
  public:
    TArticleTask(std::string Url, std::shared_ptr<TArticle> Article)
        : TPageTask(std::move(Url)), m_Article(std::move(Article))
    {
    }
    bool SavesFile() const override { return !m_LeadsOn; }
    void Finish() override;

  private:
    /// Writes the article's page from what its pages kept.
    void Save(const BrintLib::TPageUrl& PageUrl);

    std::shared_ptr<TArticle> m_Article;
    bool m_LeadsOn = false; ///< the page queued the article's next page, which saves the article
};

void TArticleTask::Finish()
{
    TakePage();
    TArticle& article = *m_Article;
    const BrintLib::TPageUrl pageUrl(m_Reply.Url);
    const TKeptPage kept = KeepArticle(*article.Description, m_Storage, pageUrl);
    if (kept.Text.empty())
        APL_THROW("article.keep found nothing: " << m_Reply.Url);
    if (article.Fetched.empty())
        article.Title = kept.Title;
    article.Fetched.insert(m_Url);
    article.Fetched.insert(m_Reply.Url);
    if (!article.Text.empty())
        article.Text += '\n';
    article.Text += kept.Text;
    if (!kept.NextUrl.empty() && article.Fetched.count(kept.NextUrl) == 0 &&
        article.Fetched.size() < 2 * kMaxArticlePages) {
        g_TaskQueue.Push(std::make_unique<TArticleTask>(kept.NextUrl, m_Article));
        m_LeadsOn = true;
        return;
    }
    Save(pageUrl);
}

void TArticleTask::Save(const BrintLib::TPageUrl& PageUrl)
{
    TArticle& article = *m_Article;
    // Every address of the kept text is absolute: links to the issue's articles lead to their pages.
    TLocalFiles files;
    for (const auto& [url, file] : *article.Files)
        files.emplace(url, file);
    THtmlPage text(std::move(article.Text));
    THtmlPage renamed;
    RenameLinks(text, PageUrl, files, renamed);
    const std::string& title = article.Title.empty() ? article.LinkTitle : article.Title;
    std::string page =
        kHead + title + " - " + XmlEscape(article.Description->Name) + "</title>\n</head>\n<body>\n";
    ProcessImages(article.Dir, renamed, PageUrl, article.PageName, page);
    page += "\n";
    page += MakeNavigationBar(article.Pages, article.Index);
    page += "</body></html>";
    const std::string fileName = article.Dir + article.PageName + ".htm";
    BrintLib::TAtomicFile file;
    CreateTaskFile(file, fileName);
    WriteTaskFile(file, fileName, page.data(), page.size());
    CommitTaskFile(file, fileName);
}

/// Turns the site's contents page into the saved one and queues the articles, then the cover.
struct TProcessContents {
    std::shared_ptr<const TDescription> m_Description;
    std::string m_Dir; ///< the save path; once processed, the issue directory

    std::string Process(std::string& Page, const std::string& PageUrl);
};

/// An article link of the contents page.
struct TLink {
    std::string Url;
    std::string Title;
    size_t At = 0; ///< where it stands in the page
};

/// Raises, naming the description's key Where, when group Group of Pattern's last search took no part in
/// its match (or the pattern has no such group).
void CheckGroup(const TRegexp& Pattern, size_t Group, const char* Where)
{
    if (Group >= Pattern.Size() || !Pattern[Group].matched)
        APL_THROW("Описание журнала: группа " << Group << " шаблона " << Where << " ничего не нашла: \""
                                              << Pattern.GetPatternText() << "\"");
}

std::string TProcessContents::Process(std::string& Page, const std::string& PageUrl)
{
    const TDescription& description = *m_Description;
    const THtmlPage page(std::move(Page));
    TRegexp& pattern = *description.Issue.Pattern;
    const char* const where = description.Issue.FromAddress ? "issue.address" : "issue.page";
    // A page is searched in its reading copy, as every page pattern; the texts are the page's.
    const std::string& searched = description.Issue.FromAddress ? PageUrl : page.Copy();
    if (!pattern.Find(searched))
        RaiseSearchError(pattern, description.Issue.FromAddress ? std::string_view(PageUrl) : page.Text());
    CheckGroup(pattern, description.Issue.Month, where);
    CheckGroup(pattern, description.Issue.Year, where);
    const auto group = [&](size_t Group) {
        return description.Issue.FromAddress
                   ? pattern[Group].str()
                   : std::string(page.TextOf(pattern[Group].first, pattern[Group].second));
    };
    const std::string month = group(description.Issue.Month);
    const std::string year = group(description.Issue.Year);
    const std::string issueName = IssueName(year, month, description.Language);
    const std::string dir = CreateIssueDirectory(m_Dir, issueName);
    m_Dir = dir;
    const std::string contentsName = MakePageName(issueName, 0);
    const std::string contentsFile = contentsName + ".htm";

    const std::string& text = page.Text();
    const THtmlTree tree(text);
    const BrintLib::TPageUrl pageUrl(PageUrl);
    std::vector<TLink> links;
    std::set<std::string> seen;
    for (const GumboNode* element : description.Articles.Select(tree)) {
        TLink link{LinkAddress(element, text, std::string(), pageUrl), ElementText(element, text),
                   OuterRange(element, text).Begin};
        if (link.Url.empty()) {
            LogBadArticleAddress(dir + contentsFile,
                                 std::string(text.substr(link.At, OuterRange(element, text).End - link.At)));
            continue;
        }
        // An article once, its first link: over http and https it is the same page.
        const std::string other =
            link.Url.compare(0, 5, "https") == 0 ? "http" + link.Url.substr(5) : "https" + link.Url.substr(4);
        if (!seen.insert(link.Url).second || seen.count(other) != 0)
            continue;
        links.push_back(std::move(link));
    }
    std::vector<TLink> sections;
    if (!description.Sections.Empty()) {
        for (const GumboNode* element : description.Sections.Select(tree))
            sections.push_back(
                TLink{std::string(), ElementText(element, text), OuterRange(element, text).Begin});
    }
    std::string cover;
    if (description.HasCover) {
        const std::vector<const GumboNode*> found = description.Cover.Selector.Select(tree);
        if (!found.empty()) {
            const GumboNode* element = found.front();
            std::string address;
            if (!description.Cover.Attribute.empty()) {
                const GumboAttribute* attribute = FindAttribute(element, description.Cover.Attribute.c_str());
                if (attribute != nullptr)
                    address = std::string(RawValue(*attribute, text));
            } else {
                address = PictureAddress(element, text, description.PictureAttributes);
            }
            cover = std::string(ResolveValue(pageUrl, address));
        }
    }

    const TSharedPageList pages = std::make_shared<TPageList>();
    StoreAt(*pages, 0, contentsFile);
    auto files = std::make_shared<TArticleFiles>();
    std::vector<std::string> fetched;
    for (size_t i = 0; i < links.size(); ++i) {
        const std::string file = MakePageName(issueName, i + 1) + ".htm";
        StoreAt(*pages, i + 1, file);
        files->emplace(links[i].Url, file);
        fetched.push_back(description.HasAddress ? RewriteAddress(description.Address, links[i].Url)
                                                 : links[i].Url);
        files->emplace(fetched.back(), file);
    }

    const std::string name = XmlEscape(description.Name);
    // The book of the issue takes the magazine's name as its publisher and series.
    std::string output = kHead + issueName + " - " + name +
                         "</title>\n<meta name=\"DC.publisher\" content=\"" + name +
                         "\">\n<meta name=\"DC.language\" content=\"" + XmlEscape(description.Language) +
                         "\">\n</head>\n<body>\n<h1>" + name + ": " + month + " " + year + "</h1>\n";
    if (!cover.empty())
        output += "<p><img src=\"" + cover + "\"></p>\n";
    size_t section = 0; // sections[section - 1] is the one the last article stood in
    bool listOpen = false;
    for (size_t i = 0; i < links.size(); ++i) {
        size_t current = section;
        while (current < sections.size() && sections[current].At < links[i].At)
            ++current;
        if (current != section || !listOpen) {
            if (listOpen)
                output += "</ul>\n";
            if (current != section)
                output += "<h2 class=\"skerrow-section\">" + sections[current - 1].Title + "</h2>\n";
            output += "<ul>\n";
            listOpen = true;
            section = current;
        }
        output += "<li><a href=\"" + (*pages)[i + 1] + "\">" +
                  (links[i].Title.empty() ? links[i].Url : links[i].Title) + "</a></li>\n";
    }
    if (listOpen)
        output += "</ul>\n";

    for (size_t i = 0; i < links.size(); ++i) {
        auto article = std::make_shared<TArticle>();
        article->Description = m_Description;
        article->Files = files;
        article->Pages = pages;
        article->Dir = dir;
        article->PageName = MakePageName(issueName, i + 1);
        article->Index = i + 1;
        article->LinkTitle = links[i].Title;
        g_TaskQueue.Push(std::make_unique<TArticleTask>(fetched[i], std::move(article)));
    }
    Page.clear();
    ProcessImages(dir, THtmlPage(std::move(output)), pageUrl, contentsName, Page);
    Page += MakeNavigationBar(pages, 0);
    Page += "</body></html>";
    return dir + contentsFile;
}

} // namespace

std::unique_ptr<ITask> MakeContentsTask(const std::string& Url, const std::string& SavePath,
                                        std::shared_ptr<const TDescription> Description)
{
    auto task = std::make_unique<TDownloadAndProcess<TProcessContents>>(Url);
    task->m_Processor.m_Description = std::move(Description);
    task->m_Processor.m_Dir = SavePath;
    return task;
}

std::string IssueName(const std::string& YearText, const std::string& MonthText, const std::string& Language)
{
    const size_t first = MonthText.find_first_not_of(" \t\r\n");
    const size_t last = MonthText.find_last_not_of(" \t\r\n");
    const std::string month =
        first == std::string::npos ? std::string() : MonthText.substr(first, last - first + 1);
    std::string code;
    if (!month.empty() && month.size() <= 2 && month.find_first_not_of("0123456789") == std::string::npos) {
        const int number = std::stoi(month);
        if (number >= 1 && number <= 12)
            code = AtLeastTwoDigits(static_cast<size_t>(number));
    } else if (Language.compare(0, 2, "en") == 0) {
        const std::string lower = LowerCaseCp1251(month);
        for (size_t k = 0; k < 12 && code.empty(); ++k) {
            const std::string_view name = kEnglishMonths[k];
            if (lower == name || (lower.size() == 3 && name.compare(0, 3, lower) == 0))
                code = AtLeastTwoDigits(k + 1);
        }
    }
    if (code.empty())
        code = MonthCode(month);
    std::string name = MakeIssueName(YearText, std::string());
    name.replace(name.rfind('_') + 1, std::string::npos, code);
    return name;
}

std::string RewriteAddress(const TAddressRule& Rule, const std::string& Url)
{
    TRegexp& pattern = *Rule.Pattern;
    if (!pattern.Find(Url))
        return Url;
    std::string result(Url.cbegin(), pattern[0].first);
    for (size_t i = 0; i < Rule.Replace.size(); ++i) {
        const char c = Rule.Replace[i];
        if (c == '$' && i + 1 < Rule.Replace.size() && Rule.Replace[i + 1] == '$') {
            result += '$';
            ++i;
        } else if (c == '$' && i + 1 < Rule.Replace.size() && Rule.Replace[i + 1] >= '0' &&
                   Rule.Replace[i + 1] <= '9') {
            const size_t group = static_cast<size_t>(Rule.Replace[++i] - '0');
            if (group < pattern.Size() && pattern[group].matched)
                result += pattern[group].str();
        } else {
            result += c;
        }
    }
    result.append(pattern[0].second, Url.cend());
    return result;
}

} // namespace Magazine
