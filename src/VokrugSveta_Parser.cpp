#include "VokrugSveta_Parser.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include "ErrorLog.h"
#include "Generic_Parser.h"
#include "HtmlTags.h"
#include "Logic.h"
#include "PagePattern.h"
#include "RunState.h"
#include "libs/Auxiliary.h"
#include "libs/RegexpWrapper.h"
#include "libs/Url.h"
#include "libs/strings.h"

namespace VokrugSveta {

namespace {

/// The patterns' places in Patterns().
enum EPattern : size_t { kUrlPrefix, kHost, kRowStart, kRow, kRowLink, kHead, kHeading, kArticle };

/// The pattern at P in Patterns(), compiled.
TRegexp Compile(EPattern P)
{
    return ::Compile(Patterns()[P]);
}

/// Turns the title page into the saved contents page: the site's page head, the cover beside the issue's
/// heading, and the table of articles. Creates the issue directory, records it in g_IssueDir and queues
/// one article task per row, then the contents page's pictures.
struct TProcessTitlePage {
    std::string m_Dir; ///< the save path; once the page is processed, the issue directory (ending with '/')

    /// PageUrl is where the title page came from, which its addresses are resolved against; PageCharset the
    /// character set it came in, in which their queries are sent.
    std::string Process(std::string& Page, const std::string& PageUrl, const std::string& PageCharset);
};

/// Turns the printable version of one article into its saved page: the site's page head up to <body>, the
/// article from its first <h1> up to the reflink_descr division, and a link back to the contents page.
struct TProcessArticlePage {
    std::string m_Dir;      ///< the issue directory, ending with '/'
    std::string m_PageName; ///< issue name, '_', the article's index with at least two digits
    std::string m_Contents; ///< the contents page's file name, relative to the issue directory

    /// PageUrl is where the printable article came from, which its pictures are resolved against;
    /// PageCharset the character set it came in, in which their queries are sent.
    std::string Process(std::string& Page, const std::string& PageUrl, const std::string& PageCharset);
};

/// The rows' ends in a text: each is looked up from where the last one was, so that a text whose rows have
/// no </tr> is read once, not once per row.
class TRowEnds {
  public:
    explicit TRowEnds(const std::string& Contents) : m_Contents(Contents) {}

    /// The position after the row that begins at Begin: past its first </tr>, but never beyond the next
    /// row's start Next. Begin must not lie before the last row's.
    TTextIterator After(TTextIterator Begin, TTextIterator Next)
    {
        static const std::string kRowClose = "</tr>";
        const size_t begin = static_cast<size_t>(Begin - m_Contents.cbegin());
        if (!m_Searched || (m_Close != std::string::npos && m_Close < begin)) {
            m_Close = m_Contents.find(kRowClose, begin);
            m_Searched = true;
        }
        if (m_Close == std::string::npos)
            return Next;
        return std::min(Next, m_Contents.cbegin() + static_cast<std::ptrdiff_t>(m_Close + kRowClose.size()));
    }

  private:
    const std::string& m_Contents;
    size_t m_Close = std::string::npos; ///< the first </tr> from the last row's start on, npos for none
    bool m_Searched = false;            ///< whether m_Close was looked for
};

/// What a browser shows of the parts of the content zone that the saved contents page leaves out, gathered
/// for one log entry: the text as written and the pictures' tags, up to what a message quotes.
class TDropped {
  public:
    /// Gathers what [First, Last) of Copy, the reading copy of Text, shows; with PicturesOnly, its pictures
    /// alone (its text is kept).
    void Add(const std::string& Text, const std::string& Copy, TTextIterator First, TTextIterator Last,
             bool PicturesOnly = false)
    {
        const size_t from = static_cast<size_t>(First - Copy.cbegin());
        const size_t to = static_cast<size_t>(Last - Copy.cbegin());
        if (m_Shown.size() > kEnough || from >= to)
            return;
        ForEachShown(Copy, from, to, [&](EShown What, size_t Begin, size_t End) {
            if (What == EShown::Break) {
                m_Apart = true;
                return;
            }
            if ((PicturesOnly && What == EShown::Text) || m_Shown.size() > kEnough)
                return;
            if (!m_Shown.empty() && m_Apart)
                m_Shown += ' ';
            m_Apart = false;
            m_Shown.append(Text, Begin, std::min(End - Begin, kEnough));
        });
        m_Apart = true;
    }

    /// Logs what was gathered, as left out of the contents page File.
    void Log(const std::string& File) const
    {
        if (!m_Shown.empty())
            LogError(File + " Текст или картинки оглавления не сохранены: " + Excerpt(m_Shown, "") + "\n");
    }

  private:
    static constexpr size_t kEnough = 400; ///< more than a message quotes
    std::string m_Shown;
    bool m_Apart = false; ///< whether a tag parts what comes next from what was gathered last
};

/// Appends the table of articles built from Contents (the text between the issue's heading and the last
/// `content` division) to Output and queues one article task per row, in page order, for the printable
/// form of the row's link: its address resolved against PageUrl, with /print before the path. A row
/// (from a <tr tag, in any case, to its </tr>, or to the next row's start when it has none, as a browser
/// ends it) is read with the row pattern: its first link, the text up to the next <div, and from there to
/// the row's end. A row that holds a link but does not have that shape, and a link
/// whose address cannot be resolved, are logged; the article is not fetched. Raises the search error when
/// the row pattern occurs nowhere in Contents. The rows are found in ContentsCopy, the part of the page's
/// reading copy (ReadingCopy) that Contents is. What Contents shows besides the rows of articles (between
/// the rows, rows without a link, the cells before a row's link, the pictures after it) goes to Dropped.
void QueueArticles(const std::string& Dir, const std::string& IssueName, const std::string& Contents,
                   const std::string& ContentsCopy, const BrintLib::TPageUrl& PageUrl,
                   const std::string& ContentsFile, std::string& Output, TDropped& Dropped)
{
    static TRegexp s_Row = Compile(kRow);
    static TRegexp s_RowStart = Compile(kRowStart);
    static TRegexp s_Link = Compile(kRowLink);

    // The place in Contents of a place in ContentsCopy, and the text of a group of the last search there.
    const auto places = [&Contents, &ContentsCopy](TTextIterator InCopy) {
        return Contents.cbegin() + (InCopy - ContentsCopy.cbegin());
    };
    const auto group = [&places](const TRegexp& Pattern, size_t Group) {
        return std::string(places(Pattern[Group].first), places(Pattern[Group].second));
    };
    Output += "<table>\n";
    unsigned index = 0;
    bool anyRow = false;
    TRegexpScanner rows(ContentsCopy);
    TRowEnds rowEnds(ContentsCopy);
    // What the rows of articles leave out: the text between rows, the rows without a link, and of a row
    // of an article the cells before its link and its pictures.
    TTextIterator lastEnd = ContentsCopy.cbegin();
    bool more = rows.Find(s_RowStart);
    while (more) {
        const TTextIterator begin = s_RowStart[0].first;
        more = rows.Find(s_RowStart);
        const TTextIterator end = rowEnds.After(begin, more ? s_RowStart[0].first : ContentsCopy.cend());
        Dropped.Add(Contents, ContentsCopy, lastEnd, begin);
        lastEnd = end;
        if (!s_Row.Find(begin, end)) {
            if (!s_Link.Find(begin, end)) {
                Dropped.Add(Contents, ContentsCopy, begin, end);
                continue;
            }
            std::string url;
            if (!PageUrl.Resolve(DecodeCharacterReferences(group(s_Link, 1)), url))
                url = group(s_Link, 1);
            LogError(Dir + ContentsFile +
                     " Строка оглавления не распознана, статья не загружена: " + Excerpt(url, "") + "\n");
            continue;
        }
        anyRow = true;
        Dropped.Add(Contents, ContentsCopy, begin, s_Row[1].first);
        Dropped.Add(Contents, ContentsCopy, s_Row[1].second, end, true);

        // The row's link leads to the local page, the #fragment kept; the row's words stay as they are.
        const std::string href = group(s_Row, 2);
        std::string url;
        std::string printable;
        std::string target = href;
        const bool resolved = PageUrl.Resolve(DecodeCharacterReferences(href), url) &&
                              BrintLib::WithPathPrefix(url, "/print", printable);
        if (!resolved) {
            LogBadArticleAddress(Dir + ContentsFile, group(s_Row, 1));
        } else {
            ++index;
            const size_t fragment = FragmentStart(href);
            target = MakePageName(IssueName, index) + ".htm" +
                     (fragment == std::string::npos ? std::string() : href.substr(fragment));
        }
        Output += "<tr><td colspan=2><hr></td></tr><tr>\n<td>";
        AppendRange(Output, places(s_Row[1].first), places(s_Row[2].first));
        Output += target;
        AppendRange(Output, places(s_Row[2].second), places(s_Row[1].second));
        Output += "</td>\n<td><a href=" + target + ">";
        StripTags(Output, places(s_Row[3].first), places(s_Row[3].second));
        Output += "</a><br>\n";
        StripTags(Output, places(s_Row[4].first), places(s_Row[4].second));
        Output += "</td>\n</tr>\n";
        if (!resolved)
            continue;

        auto task = std::make_unique<TDownloadAndProcess<TProcessArticlePage>>(printable);
        task->m_Processor.m_Dir = Dir;
        task->m_Processor.m_PageName = MakePageName(IssueName, index);
        task->m_Processor.m_Contents = ContentsFile;
        g_TaskQueue.Push(std::move(task));
    }
    // The row pattern found nowhere at all: the contents are of another shape.
    if (!anyRow && !s_Row.Find(ContentsCopy))
        RaiseSearchError(s_Row, Contents);
    Dropped.Add(Contents, ContentsCopy, lastEnd, ContentsCopy.cend());
    Output += "</table>\n";
}

std::string TProcessTitlePage::Process(std::string& Page, const std::string& PageUrl,
                                       const std::string& PageCharset)
{
    static TRegexp s_Head = Compile(kHead);
    static TRegexp s_Heading = Compile(kHeading);

    // The patterns are searched in the reading copy; the texts kept are the page's.
    const THtmlPage page(std::move(Page));
    const auto group = [&page](const TRegexp& Pattern, size_t Group) {
        return std::string(page.TextOf(Pattern[Group].first, Pattern[Group].second));
    };
    if (!s_Head.Find(page.Copy()))
        RaiseSearchError(s_Head, page.Text());
    // The saved head has no <base>, which would lead the local addresses back to the web; the page's own
    // addresses are resolved against it, as a browser resolves them.
    std::string output = group(s_Head, 0);
    DropBaseTags(output);

    if (!s_Heading.Find(page.Copy()))
        RaiseSearchError(s_Heading, page.Text());
    output += "<body><table><tr><td>";
    output += group(s_Heading, 1);
    output += "</td><td>";
    output += group(s_Heading, 2);
    output += "</td></tr></table>\n";

    const std::string issueName = MakeIssueName(group(s_Heading, 4), group(s_Heading, 3));

    const std::string dir = CreateIssueDirectory(m_Dir, issueName);
    m_Dir = dir;

    const std::string contentsName = MakePageName(issueName, 0);
    const std::string contentsFile = contentsName + ".htm";
    const BrintLib::TPageUrl pageUrl(BaseAddress(page, PageUrl), PageCharset);
    const std::string contents = group(s_Heading, 5);
    const std::string contentsCopy = s_Heading[5].str();
    // What the zone shows between its start and the heading, but the cover, is not kept either.
    TDropped dropped;
    dropped.Add(page.Text(), page.Copy(), s_Heading[0].first, s_Heading[1].first);
    dropped.Add(page.Text(), page.Copy(), s_Heading[1].second, s_Heading[2].first);
    QueueArticles(dir, issueName, contents, contentsCopy, pageUrl, contentsFile, output, dropped);
    dropped.Log(dir + contentsFile);
    ProcessImages(dir, output, pageUrl, contentsName);

    output += "</body></html>";
    Page = std::move(output);
    return dir + contentsFile;
}

std::string TProcessArticlePage::Process(std::string& Page, const std::string& PageUrl,
                                         const std::string& PageCharset)
{
    static TRegexp s_Article = Compile(kArticle);

    const THtmlPage page(std::move(Page));
    if (!s_Article.Find(page.Copy()))
        RaiseSearchError(s_Article, page.Text());
    std::string output(page.TextOf(s_Article[1].first, s_Article[1].second));
    output += page.TextOf(s_Article[2].first, s_Article[2].second);
    // No <base> in the saved page; its pictures are resolved against the page's own, as a browser does.
    DropBaseTags(output);
    ProcessImages(m_Dir, output, BrintLib::TPageUrl(BaseAddress(page, PageUrl), PageCharset), m_PageName);
    output += "<hr><a href=\"" + m_Contents + "\">Оглавление</a><hr>";
    output += "</body></html>";
    Page = std::move(output);
    return m_Dir + m_PageName + ".htm";
}

} // namespace

const TPagePatterns& Patterns()
{
    // Attributes are matched in the one shape of AttributeIs and AttributeValue.
    static const TPagePatterns table = {
        // The URL's start up to the first slash or its end; group 1 is the host name.
        {"B.UrlPrefix", R"re(^(?:https?://)?([^/]+?)(?=/|$))re", 0},
        // The site's host name; a host that contains it (a further label in front, say) is the site's too.
        {"B.Host", R"re(mag-b\.test)re", 0},
        // A contents row: where one begins, the row itself (its first link whole in group 1 with the href
        // value in group 2, the text up to the next <div in group 3, from there to </tr> or to where the row
        // ends without one, the next row, in group 4), and a
        // link with its href value (group 1), what makes a row an article's.
        {"B.RowStart", R"re(<tr(?=[\s>]))re", regex::NOCASE},
        {"B.Row",
         "<tr>.*?(<a[^>]*?" + AttributeValue("href") + R"re([^>]*>.*?</a>)(.*?)(<div.*?)(?:</tr>|$))re",
         regex::SINGLELINE},
        {"B.RowLink", "<a[^>]*?" + AttributeValue("href"), 0},
        // Title page: the page head, and from the content zone the cover (group 1), the heading (group 2)
        // with the month (group 3) and the year (group 4), and the contents (group 5) up to the last
        // content division.
        {"B.Head", R"re(<html.+?</head>)re", regex::SINGLELINE},
        {"B.Heading",
         "<div[^>]*?" + AttributeIs("class", "content_zone") +
             R"re([^>]*>.*?(<img.*?/>).*?(<h1>[^<]*?([А-Яа-я]+?)\s(\d{4})</h1>)(.*)?(?=<div[^>]*?)re" +
             AttributeIs("class", "content") + "[^>]*>)",
         regex::SINGLELINE},
        // Article page: the head up to <body> (group 1) and the article from its first <h1> (group 2) up to
        // the reflink_descr division.
        {"B.Article",
         R"re((.*?<body>).*?(<h1>.*?)<div[^>]*?)re" + AttributeIs("class", "reflink_descr") + "[^>]*>",
         regex::SINGLELINE},
    };
    return table;
}

bool ProcessUrl(const std::string& Url, const std::string& SavePath)
{
    static TRegexp s_Prefix = Compile(kUrlPrefix);
    static TRegexp s_Host = Compile(kHost);

    s_Prefix.Search(Url);
    const std::string host = s_Prefix[1].str();
    if (!s_Host.Find(host))
        return false;

    auto task = std::make_unique<TDownloadAndProcess<TProcessTitlePage>>(Url);
    task->m_Processor.m_Dir = SavePath;
    g_TaskQueue.Push(std::move(task));
    return true;
}

} // namespace VokrugSveta
