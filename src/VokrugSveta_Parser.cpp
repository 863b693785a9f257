#include "VokrugSveta_Parser.h"

#include <memory>
#include <utility>

#include "Driver.h"
#include "Generic_Parser.h"
#include "Logic.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/RegexpWrapper.h"
#include "libs/strings.h"

namespace VokrugSveta {

namespace {

using BrintLib::kPathSeparator;

/// The site's host name; a host that contains it (a further label in front, say) is the site's too.
const char kHostPattern[] = R"re(mag-b\.test)re";

/// Turns the title page into the saved contents page: the site's page head, the cover beside the issue's
/// heading, and the table of articles. Creates the issue directory, records it in g_IssueDir and queues
/// one article task per row, then the contents page's pictures.
struct TProcessTitlePage {
    std::string m_SiteRoot; ///< "http://" if the URL had it, and the host name, no slash after it
    std::string m_Dir;      ///< the save path; once the page is processed, the issue directory (ending with '/')

    std::string Process(std::string& Page);
};

/// Turns the printable version of one article into its saved page: the site's page head up to <body>, the
/// article from its first <h1> up to the reflink_descr division, and a link back to the contents page.
struct TProcessArticlePage {
    std::string m_SiteRoot; ///< as for the title page
    std::string m_Dir;      ///< the issue directory, ending with '/'
    std::string m_PageName; ///< issue name, '_', the article's index with at least two digits
    std::string m_Contents; ///< the contents page's file name, relative to the issue directory

    std::string Process(std::string& Page);
};

/// Appends the table of articles built from Contents (the text between the issue's heading and the last
/// `content` division) to Output and queues one article task per row, in page order. A row is one match
/// of the row pattern: its first link, the text up to the next <div, and from there to </tr>. Raises the
/// search error when Contents holds no row at all.
void QueueArticles(const std::string& Dir, const std::string& IssueName, const std::string& Contents,
                   const std::string& SiteRoot, const std::string& ContentsFile, std::string& Output)
{
    static TRegexp s_Row(
        R"re(<tr>.*?(<a[^>]*?href\s*(?:=\s*"|=\s*'|=)((?:(?<=\s*")[^"]+(?="))|(?:(?<=\s*')[^']+(?='))|(?:(?<==)[^\s>"']+(?=[\s>])))[^>]*>.*?</a>)(.*?)(<div.*?)</tr>)re",
        regex::SINGLELINE);

    Output += "<table>\n";
    unsigned index = 0;
    TRegexpScanner scanner(Contents);
    while (scanner.Search(s_Row)) {
        const std::string href = s_Row[2].str();
        std::string row = "<td>" + s_Row[1].str() + "</td>\n<td><a href=" + href + ">";
        StripTags(row, s_Row[3].first, s_Row[3].second);
        row += "</a><br>\n";
        StripTags(row, s_Row[4].first, s_Row[4].second);
        row += "</td>\n";

        ++index;
        const std::string pageName = MakePageName(IssueName, index);
        const std::string localFile = pageName + ".htm";

        // Only within this row: both the site's link and the new one then lead to the local page.
        std::string localRow;
        ReplaceAll(row, href, localFile, localRow);
        Output += "<tr><td colspan=2><hr></td></tr><tr>\n";
        Output += localRow;
        Output += "</tr>\n";

        auto task = std::make_unique<TDownloadAndProcess<TProcessArticlePage>>(SiteRoot + "/print" + href);
        task->m_Processor.m_SiteRoot = SiteRoot;
        task->m_Processor.m_Dir = Dir;
        task->m_Processor.m_PageName = pageName;
        task->m_Processor.m_Contents = ContentsFile;
        g_TaskQueue.Push(std::move(task));
    }
    Output += "</table>\n";
}

std::string TProcessTitlePage::Process(std::string& Page)
{
    static TRegexp s_Head(R"re(<html.+?</head>)re", regex::SINGLELINE);
    static TRegexp s_Heading(
        R"re(<div[^>]*?class\s*(?:=\s*"|=\s*'|=)(?:(?:(?<=\s*")content_zone(?="))|(?:(?<=\s*')content_zone(?='))|(?:(?<==)content_zone(?=[\s>])))[^>]*>.*?(<img.*?/>).*?(<h1>[^<]*?([А-Яа-я]+?)\s(\d{4})</h1>)(.*)?(?=<div[^>]*?class\s*(?:=\s*"|=\s*'|=)(?:(?:(?<=\s*")content(?="))|(?:(?<=\s*')content(?='))|(?:(?<==)content(?=[\s>])))[^>]*>))re",
        regex::SINGLELINE);

    s_Head.Search(Page);
    std::string output = s_Head[0].str();

    s_Heading.Search(Page);
    output += "<body><table><tr><td>";
    output += s_Heading[1].str();
    output += "</td><td>";
    output += s_Heading[2].str();
    output += "</td></tr></table>\n";

    const std::string issueName = MakeIssueName(s_Heading[4].str(), s_Heading[3].str());

    const std::string dir = m_Dir + kPathSeparator + issueName + kPathSeparator;
    m_Dir = dir;
    if (const unsigned error = BrintLib::CreateFullPath(dir))
        APL_THROW("Ошибка при создании каталога " << dir << ": "
                                                  << BrintLib::GetErrorDescription(static_cast<int>(error)));
    g_IssueDir = dir;

    const std::string contentsName = issueName + "_00";
    const std::string contentsFile = contentsName + ".htm";
    QueueArticles(dir, issueName, s_Heading[5].str(), m_SiteRoot, contentsFile, output);
    ProcessImages(dir, output, m_SiteRoot, contentsName);

    output += "</body></html>";
    Page.swap(output);
    return dir + contentsFile;
}

std::string TProcessArticlePage::Process(std::string& Page)
{
    static TRegexp s_Article(
        R"re((.*?<body>).*?(<h1>.*?)<div[^>]*?class\s*(?:=\s*"|=\s*'|=)(?:(?:(?<=\s*")reflink_descr(?="))|(?:(?<=\s*')reflink_descr(?='))|(?:(?<==)reflink_descr(?=[\s>])))[^>]*>)re",
        regex::SINGLELINE);

    s_Article.Search(Page);
    std::string output = s_Article[1].str() + s_Article[2].str();
    ProcessImages(m_Dir, output, m_SiteRoot, m_PageName);
    output += "<hr><a href=\"" + m_Contents + "\">Оглавление</a><hr>";
    output += "</body></html>";
    Page.swap(output);
    return m_Dir + m_PageName + ".htm";
}

} // namespace

bool ProcessUrl(const std::string& Url, const std::string& SavePath)
{
    static TRegexp s_Prefix(R"re(^(?:http://)?([^/]+?)(?=/|$))re", 0);
    static TRegexp s_Host(kHostPattern, 0);

    s_Prefix.Search(Url);
    const std::string host = s_Prefix[1].str();
    if (!s_Host.Find(host))
        return false;

    auto task = std::make_unique<TDownloadAndProcess<TProcessTitlePage>>(Url);
    task->m_Processor.m_SiteRoot = s_Prefix[0].str();
    task->m_Processor.m_Dir = SavePath;
    g_TaskQueue.Push(std::move(task));
    return true;
}

} // namespace VokrugSveta
