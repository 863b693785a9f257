#include "PopMech_Parser.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Generic_Parser.h"
#include "HtmlTags.h"
#include "Logic.h"
#include "PagePattern.h"
#include "RunState.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/RegexpWrapper.h"
#include "libs/Url.h"
#include "libs/strings.h"

namespace PopMech {

namespace {

using TPos = std::string::const_iterator;

/// The patterns' places in Patterns().
enum EPattern : size_t {
    kUrlPrefix,
    kHostNames,
    kMainBlock,
    kContentsTable,
    kIssueLink,
    kNoIndex,
    kArticleLink,
    kHref,
    kArticleBlock,
    kLogsBlock,
    kCommentsAnchor,
    kDotsBlock,
    kBackgroundCell,
    kCellLink,
    kImageLink,
    kImageTarget,
};

/// The pattern at P in Patterns(), compiled.
TRegexp Compile(EPattern P)
{
    return ::Compile(Patterns()[P]);
}

/// The head of every saved page; the page's title goes between the two parts.
const char kHeadStart[] = "<html>\n<head>\n<title>";
const char kHeadEnd[] = " - Популярная механика</title>\n"
                        "<META http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
                        "</head>\n";

/// Where a table cell of Text ends, by the place of its "<td" tag.
struct TCellEnd {
    size_t Open; ///< the place of the cell's '<'
    size_t End;
};

/// Where every table cell of Text ends, in the order of their tags, in one pass: past its own </td> (or
/// </th>) when it has one, otherwise where the cell ends without it: at the next cell, row or row group of
/// its table, at its table's end, or at the end of Text. Tables nested in a cell are passed over whole,
/// comments too. Text is a reading copy (ReadingCopy).
std::vector<TCellEnd> CellEnds(const std::string& Text);

/// Where the article's cell whose content begins at From ends, at Limit (the logs cell) at the latest:
/// past its own </td> (or </th>), or at its table's end. A cell or row tag inside it that has no table of
/// its own there (a stray <td> in a division, say) does not end it: a cell opened so is closed by the next
/// </td>, and the rows are passed over, so that nothing shown before Limit is lost. Nor does a </td> after
/// which something is shown before the next cell (a browser shows it, moved out of the table). Reaching
/// Limit, the blanks and row tags just before it are left out. Text is a reading copy (ReadingCopy).
size_t ArticleEnd(const std::string& Text, size_t From, size_t Limit);

/// Whether Text holds at At the tag named Name ("td", "/table", ...), in any case.
bool IsTag(const std::string& Text, size_t At, const char* Name);

/// Whether Byte is white space as the patterns' \s takes it.
bool IsBlank(char Byte)
{
    return Byte == ' ' || (Byte >= '\t' && Byte <= '\r');
}

/// The first position from From on where Text holds Opening ("<td") followed, before the next '>', by Word:
/// where a pattern of the shape Opening "[^>]*?" Word ... may match at all; npos when there is none. The
/// pattern is tried there only, instead of at every Opening of a page. Word, rarer than Opening, is what
/// is looked for; Opening is then looked for back to the '>' before it. Linear in the text read.
size_t NextTagWith(const std::string& Text, size_t From, const char* Opening, const char* Word)
{
    const std::string_view opening(Opening);
    const char* const text = Text.data();
    // Neither a '>' nor an Opening that ends before the word begins in [From, checked).
    size_t checked = From;
    for (size_t word = From + opening.size(); word < Text.size(); ++word) {
        word = FindText(Text, word, Word);
        if (word == std::string::npos)
            break;
        // The tag that holds this word begins after the last '>' before it.
        if (const void* close = memrchr(text + checked, '>', word - checked))
            checked = static_cast<size_t>(static_cast<const char*>(close) - text) + 1;
        const size_t at = std::string_view(text + checked, word - checked).find(opening);
        if (at != std::string_view::npos)
            return checked + at;
        // An Opening that begins in the last bytes before this word may end before the next one.
        checked = std::max(checked, word + 1 > opening.size() ? word + 1 - opening.size() : size_t{0});
    }
    return std::string::npos;
}

/// Whether a picture link (A.ImageLink) may begin at At, where Text holds "<a": its opening tag either ends
/// at the first '>' after At, and the next tag after that is "<img", or it has an href value in quotes
/// that runs past that '>'. Most links of a page lead to pages; the pattern is not tried on them.
bool MayBeImageLink(const std::string& Text, size_t At)
{
    const size_t close = Text.find('>', At);
    if (close == std::string::npos)
        return false;
    const size_t next = Text.find('<', close);
    if (next != std::string::npos && Text.compare(next, 4, "<img") == 0)
        return true;
    const std::string_view tag(Text.data() + At, close - At);
    for (size_t href = tag.find("href"); href != std::string_view::npos; href = tag.find("href", href + 1)) {
        size_t i = href + 4;
        while (i < tag.size() && IsBlank(tag[i]))
            ++i;
        if (i == tag.size() || tag[i] != '=')
            continue;
        ++i;
        while (i < tag.size() && IsBlank(tag[i]))
            ++i;
        if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'') &&
            tag.find(tag[i], i + 1) == std::string_view::npos)
            return true;
    }
    return false;
}

/// The text of a sub-match record.
std::string Text(const TRegexp& Pattern, unsigned Group)
{
    return Pattern[Group].str();
}

/// The text of a sub-match record of a search in Page's reading copy, where it stands in the page.
std::string_view View(const THtmlPage& Page, const TRegexp& Pattern, unsigned Group)
{
    return Page.TextOf(Pattern[Group].first, Pattern[Group].second);
}

/// Appends MakeNavigationBar and the end of the page.
void AppendNavigationBar(std::string& Output, const TSharedPageList& Pages, size_t Index)
{
    Output += MakeNavigationBar(Pages, Index);
    Output += "</html>";
}

/// Processes one article page of an issue; filled by QueueArticles.
struct TProcessArticlePage {
    std::string m_Dir;       ///< the issue directory, ending with the separator
    std::string m_PageName;  ///< issue name, "_", index
    size_t m_Index = 0;      ///< the page's index in m_Pages, 1 or more
    TSharedPageList m_Pages; ///< the issue's page list, shared with the other pages

    /// Keeps the article's own block, localises its pictures (resolved against PageUrl, where the article
    /// came from, their queries sent in PageCharset, the page's own), cuts the comments off and adds the
    /// navigation bar. Raises the search error for a page
    /// without the block.
    std::string Process(std::string& Page, const std::string& PageUrl, const std::string& PageCharset);
};

/// Processes the issue's contents page; filled by ProcessUrl.
struct TProcessTitlePage {
    std::string m_Dir; ///< the save path; once processed, the issue directory with a final separator
    std::string m_Url; ///< the address the contents page is asked for

    /// Names the issue, creates its directory (recorded in g_IssueDir), queues one task per article and
    /// then the contents page's pictures, and returns the contents page's file. Raises the search error
    /// for a page of another shape, "Неизвестный год: ..." for a bad year, and a failure naming the
    /// directory when the issue directory cannot be created. The page's addresses are resolved against
    /// PageUrl, where the contents page came from, their queries sent in PageCharset, the page's own.
    std::string Process(std::string& Page, const std::string& PageUrl, const std::string& PageCharset);
};

/// Finds the article links in Output, stores their local page files in Pages from index 1 on and queues
/// one article task per link, in page order, for the link's address resolved against PageUrl; then renames
/// the links of Output that lead to an article to its local file (RenameLinks; the same article linked
/// twice keeps its first file). A link whose address cannot be resolved is logged and skipped. Raises the
/// search error when Output has no article link, or one without an href (quoting Head, the page's head that
/// stands before Output, and Output). MovedFrom is the address the contents page was asked for: a link to
/// the same article on that host and on the one that answered is renamed alike (RenameLinks).
void QueueArticles(const std::string& Dir, const std::string& IssueName, const BrintLib::TPageUrl& PageUrl,
                   const std::string& MovedFrom, const TSharedPageList& Pages, const std::string& Head,
                   THtmlPage& Output)
{
    static TRegexp articleLink = Compile(kArticleLink);
    static TRegexp href = Compile(kHref);

    TLocalFiles files;
    size_t index = 1;
    // The links are found in the reading copy; their texts are Output's.
    const std::string& copy = Output.Copy();
    for (size_t from = 0;;) {
        const size_t at = NextTagWith(copy, from, "<a", "t_link_big");
        if (at == std::string::npos ||
            !articleLink.Find(copy.cbegin() + static_cast<std::ptrdiff_t>(at), copy.cend())) {
            // A page without any article link raises the search error over the whole page.
            if (from == 0 && !articleLink.Find(copy))
                RaiseSearchError(articleLink, Head + Output.Text());
            break;
        }
        from = static_cast<size_t>(articleLink[0].second - copy.cbegin());
        if (!href.Find(articleLink[0].first, articleLink[0].second))
            RaiseSearchError(href, View(Output, articleLink, 0));
        const std::string_view resolved = ResolveValue(PageUrl, View(Output, href, 1));
        if (resolved.empty()) {
            LogBadArticleAddress(Dir + (*Pages)[0], std::string(View(Output, articleLink, 0)));
            continue;
        }
        const std::string url(resolved);
        const std::string pageName = MakePageName(IssueName, index);
        const std::string file = pageName + ".htm";
        // The key is the text that PageUrl keeps.
        files.emplace(resolved, file);
        StoreAt(*Pages, index, file);

        auto task = std::make_unique<TDownloadAndProcess<TProcessArticlePage>>(url);
        task->m_Processor.m_Dir = Dir;
        task->m_Processor.m_PageName = pageName;
        task->m_Processor.m_Index = index;
        task->m_Processor.m_Pages = Pages;
        g_TaskQueue.Push(std::move(task));
        ++index;
    }
    THtmlPage renamed;
    RenameLinks(Output, PageUrl, files, renamed, MovedFrom);
    Output.Swap(renamed);
}

std::string TProcessTitlePage::Process(std::string& Page, const std::string& PageUrl,
                                       const std::string& PageCharset)
{
    static TRegexp patterns[4] = {Compile(kMainBlock), Compile(kContentsTable), Compile(kIssueLink),
                                  Compile(kNoIndex)};
    const THtmlPage page(std::move(Page));
    SearchSequence(patterns, page.Copy(), page.Text());
    const TRegexp& table = patterns[1];
    const TRegexp& issueLink = patterns[2];
    const TRegexp& noIndex = patterns[3];

    const std::string month(View(page, issueLink, 1));
    const std::string year(View(page, issueLink, 2));
    const std::string issueName = MakeIssueName(year, month);

    // The passes rewrite the contents after the head, which is put before them at the end.
    const std::string head = kHeadStart + issueName + kHeadEnd + "<h1>" + month + " " + year + "</h1>\n";
    THtmlPage output;
    output.Reserve(page.Text().size());
    // The issue's own link is left out: it would only lead back to this page.
    output.Append(page, table[0].first, issueLink[0].first);
    output.Append(page, issueLink[0].second, noIndex[0].first);

    const std::string dir = CreateIssueDirectory(m_Dir, issueName);
    m_Dir = dir;

    const std::string contentsName = MakePageName(issueName, 0);
    const std::string contentsFile = contentsName + ".htm";
    const TSharedPageList pages = std::make_shared<TPageList>();
    StoreAt(*pages, 0, contentsFile);

    // The page's addresses are resolved as a browser resolves them, against its <base> when it has one.
    const BrintLib::TPageUrl pageUrl(BaseAddress(page, PageUrl), PageCharset);
    QueueArticles(dir, issueName, pageUrl, m_Url, pages, head, output);
    ReplaceBackgroundCells(output);
    FlattenImageLinks(output);
    // The last pass: the saved text alone, after the head.
    Page = head;
    ProcessImages(dir, output, pageUrl, contentsName, Page);
    AppendNavigationBar(Page, pages, 0);
    return dir + contentsFile;
}

std::string TProcessArticlePage::Process(std::string& Page, const std::string& PageUrl,
                                         const std::string& PageCharset)
{
    THtmlPage output(std::move(Page));
    // The page's addresses are resolved as a browser resolves them, against its <base> when it has one.
    const BrintLib::TPageUrl pageUrl(BaseAddress(output, PageUrl), PageCharset);
    // The passes rewrite the article's block, kept where it stands; the head is put before it at the end.
    KeepArticleBlock(output);
    DropBaseTags(output);
    ReplaceBackgroundCells(output);
    FlattenImageLinks(output);
    // Pictures are localised before the comments are cut off, so those of the cut part are downloaded too.
    ProcessImages(m_Dir, output, pageUrl, m_PageName);
    CutComments(output);
    Page = output.TakeText();
    Page.insert(0, kHeadStart + m_PageName + kHeadEnd);
    AppendNavigationBar(Page, m_Pages, m_Index);
    return m_Dir + m_PageName + ".htm";
}

/// Whether Text holds at At the tag named Name ("td", "/table", ...), in any case.
bool IsTag(const std::string& Text, size_t At, const char* Name)
{
    size_t i = At + 1;
    for (; *Name != '\0'; ++Name, ++i) {
        if (i >= Text.size() || (Text[i] | 0x20) != *Name)
            return false;
    }
    return i == Text.size() || Text[i] == '>' || Text[i] == '/' || Text[i] == ' ' || Text[i] == '\t' ||
           Text[i] == '\n' || Text[i] == '\r' || Text[i] == '\f';
}

/// What a tag at At means to the end of a cell.
enum class ECellTag { Other, Table, TableEnd, Cell, CellEnd, Row };

ECellTag CellTag(const std::string& Text, size_t At)
{
    // Names are lower case in a reading copy; every name that matters here begins with 't'.
    const bool closing = At + 1 < Text.size() && Text[At + 1] == '/';
    const size_t name = At + (closing ? 2 : 1);
    if (name + 1 >= Text.size() || Text[name] != 't')
        return ECellTag::Other;
    switch (Text[name + 1]) {
    case 'd':
    case 'h':
        if (IsTag(Text, At, closing ? "/td" : "td") || IsTag(Text, At, closing ? "/th" : "th"))
            return closing ? ECellTag::CellEnd : ECellTag::Cell;
        return IsTag(Text, At, closing ? "/thead" : "thead") ? ECellTag::Row : ECellTag::Other;
    case 'a':
        if (IsTag(Text, At, closing ? "/table" : "table"))
            return closing ? ECellTag::TableEnd : ECellTag::Table;
        return ECellTag::Other;
    case 'r':
        return IsTag(Text, At, closing ? "/tr" : "tr") ? ECellTag::Row : ECellTag::Other;
    case 'b':
        return IsTag(Text, At, closing ? "/tbody" : "tbody") ? ECellTag::Row : ECellTag::Other;
    case 'f':
        return IsTag(Text, At, closing ? "/tfoot" : "tfoot") ? ECellTag::Row : ECellTag::Other;
    default:
        return ECellTag::Other;
    }
}

/// Past the '>' of the tag at At, or the end of Text.
size_t PastTag(const std::string& Text, size_t At)
{
    const size_t close = Text.find('>', At);
    return close == std::string::npos ? Text.size() : close + 1;
}

std::vector<TCellEnd> CellEnds(const std::string& Text)
{
    std::vector<TCellEnd> cells;
    // The cells not ended yet, by their place in cells, with the number of tables open where each began:
    // a cell ends with its own table's tags, not with those of a table nested in it.
    std::vector<std::pair<size_t, size_t>> open;
    size_t tables = 0;
    const auto endCells = [&](size_t End) {
        while (!open.empty() && open.back().second == tables) {
            cells[open.back().first].End = End;
            open.pop_back();
        }
    };
    for (size_t at = Text.find('<'); at != std::string::npos; at = Text.find('<', at + 1)) {
        switch (CellTag(Text, at)) {
        case ECellTag::Other:
            break;
        case ECellTag::Table:
            ++tables;
            break;
        case ECellTag::TableEnd:
            endCells(at);
            tables -= tables > 0 ? 1 : 0;
            break;
        case ECellTag::CellEnd:
            endCells(PastTag(Text, at));
            break;
        case ECellTag::Cell:
            endCells(at);
            open.emplace_back(cells.size(), tables);
            cells.push_back({at, Text.size()});
            break;
        case ECellTag::Row:
            endCells(at);
            break;
        }
    }
    return cells;
}

size_t ArticleEnd(const std::string& Text, size_t From, size_t Limit)
{
    size_t depth = 0;      // tables open inside the cell
    size_t strayCells = 0; // cells opened inside the cell outside a table of its own
    // Past the last </td> of the cell's own table, while nothing but blanks and row tags follows it; npos
    // otherwise. What a browser shows after such an end tag, before the next cell, is moved out of the
    // table (foster-parented) and shown: the cell has not ended for the copy.
    size_t pending = std::string::npos;
    size_t shown = From; // where the text not yet looked at for something shown begins
    const auto showsSomething = [&](size_t To) {
        for (; shown < To; ++shown) {
            if (!IsBlank(Text[shown]))
                return true;
        }
        return false;
    };
    for (size_t at = Text.find('<', From); at < Limit; at = Text.find('<', at + 1)) {
        const ECellTag tag = CellTag(Text, at);
        if (pending != std::string::npos) {
            if (tag == ECellTag::Cell || tag == ECellTag::TableEnd)
                return pending;
            const bool markupOnly = tag == ECellTag::Row || tag == ECellTag::CellEnd ||
                                    (at + 1 < Text.size() && Text[at + 1] == '!');
            if (showsSomething(at) || !markupOnly)
                pending = std::string::npos;
            else
                shown = std::max(shown, PastTag(Text, at));
        }
        switch (tag) {
        case ECellTag::Other:
        case ECellTag::Row:
            break;
        case ECellTag::Table:
            ++depth;
            break;
        case ECellTag::TableEnd:
            if (depth == 0)
                return at;
            --depth;
            break;
        case ECellTag::Cell:
            strayCells += depth == 0 ? 1 : 0;
            break;
        case ECellTag::CellEnd:
            if (depth > 0)
                break;
            if (strayCells == 0) {
                if (pending == std::string::npos)
                    pending = std::min(PastTag(Text, at), Limit);
                shown = std::max(shown, PastTag(Text, at));
                break;
            }
            --strayCells;
            break;
        }
    }
    if (pending != std::string::npos && !showsSomething(Limit))
        return pending;
    // The blanks and row tags between the last content and Limit show nothing.
    size_t end = Limit;
    for (;;) {
        while (end > From && IsBlank(Text[end - 1]))
            --end;
        if (end == From || Text[end - 1] != '>')
            return end;
        const size_t tag = Text.rfind('<', end - 1);
        if (tag == std::string::npos || tag < From || PastTag(Text, tag) != end ||
            CellTag(Text, tag) != ECellTag::Row)
            return end;
        end = tag;
    }
}

} // namespace

const TPagePatterns& Patterns()
{
    // Attributes are matched in the one shape of AttributeIs and AttributeValue.
    static const TPagePatterns table = {
        // The URL's start up to the first slash; group 1 is the host name with that slash.
        {"A.UrlPrefix", R"re(^(?:https?://)?([^/]+?/))re", 0},
        // The site's host names, anywhere in the host part (a further label in front is allowed).
        {"A.Host", R"re(mag-a\.test|mag-a-archive\.test)re", 0},
        // Contents page: the cell of the main block, the full-width table of the contents, the issue's own
        // link with the month (group 1) and the year (group 2) in bold, and the end of the contents.
        {"A.MainBlock", "<td[^>]*?" + AttributeIs("class", "block_main_inner") + "[^>]*>", 0},
        {"A.ContentsTable", "<table[^>]*?" + AttributeIs("width", "100%") + "[^>]*>", 0},
        {"A.IssueLink",
         "<a[^>]*?" + AttributeIs("class", "t_link_big") + R"re([^>]*>.*?<b>([^\s]+)\s+([^<]+)</b></a>)re",
         0},
        {"A.NoIndex", "<noindex>", 0},
        // An article link of the contents page (its opening tag) and the href of a link tag (group 1).
        {"A.ArticleLink", "<a[^>]*?" + AttributeIs("class", "t_link_big") + "[^>]*>", 0},
        {"A.Href", "<a[^>]*?" + AttributeValue("href") + "[^>]*>", 0},
        // Article page: the cell that opens the article's block and the cell that follows the block.
        {"A.ArticleBlock", "<td[^>]*?" + AttributeIs("class", "block_header_main_inner") + "[^>]*>", 0},
        {"A.LogsBlock", "<td[^>]*?" + AttributeIs("class", "block_logs") + "[^>]*>", 0},
        // Comments: the comments anchor with its text up to </span> on the same line, and a "dots" cell
        // with everything up to the next </table> (across lines).
        {"A.CommentsAnchor", "<a[^>]*?" + AttributeIs("name", "comments") + "[^>]*>.+?</span>", 0},
        {"A.DotsBlock", "<td[^>]*?" + AttributeIs("class", "dots") + "[^>]*>.+?</table>", regex::SINGLELINE},
        // Picture cells: a cell with a background picture (group 1) and a link tag inside it (note the
        // blank after "<a").
        {"A.BackgroundCell", "<td[^>]*?" + AttributeValue("background") + "[^>]*>", 0},
        {"A.CellLink", "<a [^>]*?" + AttributeValue("href") + "[^>]*>", 0},
        // Picture links: a link (target in group 1) around nothing but a picture, and the picture a link
        // target names (group 1): after the last '?' that a picture name follows, up to its extension.
        {"A.ImageLink", "<a[^>]*?" + AttributeValue("href") + R"re([^>]*>\s*<img[^>]*>\s*</a>)re", 0},
        {"A.ImageTarget", R"re((?:.+\?)?(.+?\.(?:jpe?g|png|gif|bmp|svg|webp))(?=\W|$))re", regex::NOCASE},
    };
    return table;
}

bool RecogniseUrl(const std::string& Url, std::string& SiteRoot)
{
    static TRegexp prefix = Compile(kUrlPrefix);
    static TRegexp hostNames = Compile(kHostNames);

    prefix.Search(Url);
    if (!hostNames.Find(prefix[1].first, prefix[1].second))
        return false;
    SiteRoot = Text(prefix, 0);
    return true;
}

bool ProcessUrl(const std::string& Url, const std::string& SavePath)
{
    std::string siteRoot;
    if (!RecogniseUrl(Url, siteRoot))
        return false;
    auto task = std::make_unique<TDownloadAndProcess<TProcessTitlePage>>(Url);
    task->m_Processor.m_Dir = SavePath;
    task->m_Processor.m_Url = Url;
    g_TaskQueue.Push(std::move(task));
    return true;
}

void KeepArticleBlock(THtmlPage& Page)
{
    static TRegexp patterns[2] = {Compile(kArticleBlock), Compile(kLogsBlock)};
    SearchSequence(patterns, Page.Copy(), Page.Text());
    // The article's cell up to its end: the row markup between it and the next block is not kept.
    const size_t content = Page.Offset(patterns[0][0].second);
    const size_t logs = Page.Offset(patterns[1][0].first);
    Page.Keep(Page.Offset(patterns[0][0].first), ArticleEnd(Page.Copy(), content, logs));
}

void ReplaceBackgroundCells(std::string& Text)
{
    THtmlPage page(std::move(Text));
    ReplaceBackgroundCells(page);
    Text = page.TakeText();
}

void ReplaceBackgroundCells(THtmlPage& Page)
{
    static TRegexp backgroundCell = Compile(kBackgroundCell);
    static TRegexp cellLink = Compile(kCellLink);

    // The cells are found in the reading copy.
    const std::string& copy = Page.Copy();
    THtmlPage output;
    output.Reserve(copy.size());
    size_t position = 0;
    // Computed once there is a background cell; each is looked up from where the last one was found.
    std::vector<TCellEnd> cellEnds;
    auto cell = cellEnds.cbegin();
    // The first link tag from the last cell's content on: cells nested in each other share it, so that it is
    // looked for once, not from each of them.
    size_t link = 0;
    bool linkFound = false; // whether link is the place of such a tag, not the end of the copy
    std::pair<size_t, size_t> linkTag{0, 0};
    for (size_t from = 0;;) {
        const size_t at = NextTagWith(copy, from, "<td", "background");
        if (at == std::string::npos ||
            !backgroundCell.Find(copy.cbegin() + static_cast<std::ptrdiff_t>(at), copy.cend()))
            break;
        if (cellEnds.empty()) {
            cellEnds = CellEnds(copy);
            cell = cellEnds.cbegin();
        }
        const TPos content = backgroundCell[0].second;
        const size_t open = Page.Offset(backgroundCell[0].first);
        from = Page.Offset(content);
        cell = std::lower_bound(cell, cellEnds.cend(), open,
                                [](const TCellEnd& Cell, size_t Open) { return Cell.Open < Open; });
        const size_t cellEnd = cell != cellEnds.cend() && cell->Open == open ? cell->End : copy.size();
        // A cell without a link of its own stays as it was; the link's "<a " is looked for first, as most
        // background cells hold none.
        if (link < from) {
            link = std::min(FindText(copy, from, "<a "), copy.size());
            linkFound = link < copy.size() &&
                        cellLink.Find(copy.cbegin() + static_cast<std::ptrdiff_t>(link), copy.cend());
            if (linkFound) {
                linkTag = {Page.Offset(cellLink[0].first), Page.Offset(cellLink[0].second)};
                link = linkTag.first;
            } else {
                link = copy.size();
            }
        }
        if (!linkFound || linkTag.second > cellEnd)
            continue;
        // The link's content ends at its </a>, or with the cell.
        const std::string_view cellText = std::string_view(copy).substr(0, cellEnd);
        size_t linkEnd = linkTag.second;
        while ((linkEnd = FindText(cellText, linkEnd, "</a")) != std::string::npos &&
               !IsTag(copy, linkEnd, "/a"))
            ++linkEnd;
        linkEnd = std::min(linkEnd, cellEnd);
        // What else the cell shows stays, in its order, around the link, whose first picture is the
        // placeholder that the background shows through.
        output.Append(Page, position, open);
        output.AppendMarkup("<td>");
        AppendShown(output, Page, from, linkTag.first, false);
        output.Append(Page, linkTag.first, linkTag.second);
        output.AppendMarkup("<img src=\"");
        output.Append(Page, backgroundCell[1].first, backgroundCell[1].second);
        output.AppendMarkup("\">");
        AppendShown(output, Page, linkTag.second, linkEnd, true);
        output.AppendMarkup("</a>");
        AppendShown(output, Page, linkEnd, cellEnd, false);
        output.AppendMarkup("</td>");
        position = cellEnd;
        from = cellEnd;
    }
    // A page without such cells stays as it is, uncopied.
    if (position == 0)
        return;
    output.Append(Page, position, copy.size());
    Page.Swap(output);
}

void FlattenImageLinks(std::string& Text)
{
    THtmlPage page(std::move(Text));
    FlattenImageLinks(page);
    Text = page.TakeText();
}

void FlattenImageLinks(THtmlPage& Page)
{
    static TRegexp imageLink = Compile(kImageLink);
    static TRegexp imageTarget = Compile(kImageTarget);
    static TRegexp pictureType = ::Compile(PageServicePatterns()[2]);

    // Whether [First, Last) holds one of the picture types after a dot with something before it:
    // imageTarget cannot match where it does not, and most link targets are pages, which it would try from
    // every byte.
    const auto mayNamePicture = [](TPos First, TPos Last) {
        const TPos dot = First == Last ? Last : std::find(First + 1, Last, '.');
        return dot != Last && pictureType.Find(dot, Last);
    };

    // The links are found in the reading copy; their targets are read in the text.
    const std::string& copy = Page.Copy();
    THtmlPage output;
    output.Reserve(copy.size());
    size_t position = 0;
    for (size_t at = FindText(copy, 0, "<a"); at != std::string::npos;) {
        if (!MayBeImageLink(copy, at)) {
            at = FindText(copy, at + 1, "<a");
            continue;
        }
        if (!imageLink.Find(copy.cbegin() + static_cast<std::ptrdiff_t>(at), copy.cend()))
            break;
        const TPos targetBegin = Page.InText(imageLink[1].first);
        const TPos targetEnd = Page.InText(imageLink[1].second);
        if (mayNamePicture(targetBegin, targetEnd) && imageTarget.Find(targetBegin, targetEnd)) {
            const size_t target = Page.Offset(imageLink[1].first);
            output.Append(Page, position, Page.Offset(imageLink[0].first));
            output.AppendMarkup("<img src=\"");
            output.Append(Page, target + static_cast<size_t>(imageTarget[1].first - targetBegin),
                          target + static_cast<size_t>(imageTarget[1].second - targetBegin));
            output.AppendMarkup("\">");
            position = Page.Offset(imageLink[0].second);
        }
        // A link to a page stays where it is, in the text not yet copied.
        at = FindText(copy, Page.Offset(imageLink[0].second), "<a");
    }
    // A page without links to pictures stays as it is, uncopied.
    if (position == 0)
        return;
    output.Append(Page, position, copy.size());
    Page.Swap(output);
}

void CutComments(std::string& Text)
{
    THtmlPage page(std::move(Text));
    CutComments(page);
    Text = page.TakeText();
}

void CutComments(THtmlPage& Page)
{
    static TRegexp patterns[2] = {Compile(kCommentsAnchor), Compile(kNoIndex)};
    if (!FindSequence(patterns, Page.Copy()))
        return;

    // Compiled only for a page that has comments.
    static TRegexp dotsBlock = Compile(kDotsBlock);
    const TPos noIndex = patterns[1][0].first;
    TPos cut = patterns[0][0].second;
    TRegexpScanner scanner(cut, noIndex);
    while (scanner.Find(dotsBlock))
        cut = dotsBlock[0].second;
    Page.Erase(Page.Offset(cut));
}

} // namespace PopMech
