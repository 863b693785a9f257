// Site A's URL recognition and its page rewriting steps, case by case. The whole copy of an issue is
// checked end to end in PopMechEndToEndTest.cpp.
#include "PopMech_Parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Logic.h"
#include "support/AplFailure.h"

namespace {

struct TRewriteCase {
    const char* Name;
    std::string Input;
    std::string Expected;
};

void ExpectRewrites(void (*Rewrite)(std::string&), const std::vector<TRewriteCase>& Cases)
{
    for (const TRewriteCase& c : Cases) {
        std::string text = c.Input;
        Rewrite(text);
        EXPECT_EQ(text, c.Expected) << c.Name;
    }
}

} // namespace

TEST(PopMechUrl, RecognisesTheSiteByTheHostPartOnly)
{
    struct TCase {
        std::string Url;
        bool Accepted;
        std::string SiteRoot;
    };
    const TCase cases[] = {
        {"http://mag-a.test/issue/200705/", true, "http://mag-a.test/"},
        {"mag-a.test/issue/200705/", true, "mag-a.test/"},
        {"http://www.mag-a.test/issue/200705/", true, "http://www.mag-a.test/"},
        {"http://mag-a-archive.test/2007/05", true, "http://mag-a-archive.test/"},
        {"http://mag-a.test/", true, "http://mag-a.test/"},
        // the host name further on in the URL does not count
        {"http://mag-b.test/mirror/mag-a.test/issue/", false, ""},
        // without a slash after the host, the prefix is taken as the host part ("http:/")
        {"http://mag-a.test", false, ""},
        {"http://mag-b.test/issue/", false, ""},
        {"ftp://mag-a.test/issue/", false, ""},
    };
    for (const TCase& c : cases) {
        std::string siteRoot;
        EXPECT_EQ(PopMech::RecogniseUrl(c.Url, siteRoot), c.Accepted) << c.Url;
        EXPECT_EQ(siteRoot, c.SiteRoot) << c.Url;
    }
}

TEST(PopMechUrl, UrlWithoutAnySlashIsASearchError)
{
    std::string siteRoot;
    EXPECT_EQ(TestSupport::FailureOf([&] { PopMech::RecogniseUrl("mag-a.test", siteRoot); }),
              "Ошибка при поиске шаблона: \"^(?:http://)?([^/]+?/)\" в строке \"mag-a.test\"");
    EXPECT_TRUE(g_TaskQueue.IsEmpty());
}

TEST(PopMechUrl, AcceptedUrlQueuesTheContentsPageTaskWithTheWholeUrl)
{
    ASSERT_TRUE(g_TaskQueue.IsEmpty());
    EXPECT_TRUE(PopMech::ProcessUrl("http://www.mag-a.test/issue/200705/?print=1", "/tmp/save"));
    ASSERT_FALSE(g_TaskQueue.IsEmpty());
    const std::unique_ptr<ITask> task = g_TaskQueue.Pop();
    EXPECT_EQ(task->GetUrl(), "http://www.mag-a.test/issue/200705/?print=1");
    EXPECT_TRUE(g_TaskQueue.IsEmpty());

    EXPECT_FALSE(PopMech::ProcessUrl("http://mag-b.test/issue/", "/tmp/save"));
    EXPECT_TRUE(g_TaskQueue.IsEmpty());
}

TEST(PopMechRename, ReplacesWholeAttributeValuesOnly)
{
    struct TCase {
        const char* Name;
        std::string Text, Value, Replace, Expected;
    };
    const TCase cases[] = {
        {"a value that begins another stays",
         "<a href=\"/article/1\">1</a><a href='/article/10'>10</a>", "/article/1", "2007_05_01.htm",
         "<a href=\"2007_05_01.htm\">1</a><a href='/article/10'>10</a>"},
        {"every link to the same page is renamed",
         "<a class=x href=\"/a\">A</a> <a href='/a'>more</a> <a href=/a>again</a>", "/a", "p.htm",
         "<a class=x href=\"p.htm\">A</a> <a href='p.htm'>more</a> <a href=p.htm>again</a>"},
        {"bare values end at a blank, '>' or the end", "<a href = /a class=b><a href=/a", "/a", "p.htm",
         "<a href = p.htm class=b><a href=p.htm"},
        {"a one-character value is not replaced inside other text",
         "<a href=\"1\">page 1</a> <td width=\"100\">", "1", "p.htm", "<a href=\"p.htm\">page 1</a> <td width=\"100\">"},
        {"text outside tags and mismatched quotes stay", "see /a and \"/a' or =/a/b", "/a", "p.htm",
         "see /a and \"/a' or =/a/b"},
        {"nothing to rename", "<p>text</p>", "/a", "p.htm", "<p>text</p>"},
    };
    for (const TCase& c : cases) {
        std::string result = "old content";
        PopMech::ReplaceAttributeValue(c.Text, c.Value, c.Replace, result);
        EXPECT_EQ(result, c.Expected) << c.Name;
    }
}

TEST(PopMechPictures, BackgroundCellsBecomeLinkedPictures)
{
    ExpectRewrites(
        PopMech::ReplaceBackgroundCells,
        {
            {"cell with a nested table around its link",
             "<tr><td class=c background=\"/i/bg.jpg\" width=9><table><tr><td><a href=\"/x.html\" title=t>X</a>"
             "</td></tr></table></td></tr>",
             "<tr><td><a href=\"/x.html\" title=t><img src=\"/i/bg.jpg\"></a></td></td></tr>"},
            {"single-quoted and bare backgrounds, two cells",
             "1<td background='/a.gif'><a href='/a'>a</a></table>2<td background=/b.png><a href=/b>b</a></table>3",
             "1<td><a href='/a'><img src=\"/a.gif\"></a></td>2<td><a href=/b><img src=\"/b.png\"></a></td>3"},
            {"the link and the table end are taken wherever they follow",
             "<td background=\"/bg.jpg\">text</td></tr></table><p><a href=\"/z\">z</a></p></table>tail",
             "<td><a href=\"/z\"><img src=\"/bg.jpg\"></a></td>tail"},
            {"no link after the cell: this cell and every later one stay",
             "<td background=\"/a.jpg\">a</table><td background=\"/b.jpg\">b</table>",
             "<td background=\"/a.jpg\">a</table><td background=\"/b.jpg\">b</table>"},
            {"a link tag with a tab after <a is not a link here",
             "<td background=\"/a.jpg\"><a\thref=\"/a\">a</a></table>",
             "<td background=\"/a.jpg\"><a\thref=\"/a\">a</a></table>"},
            {"no table end after the link", "<td background=\"/a.jpg\"><a href=\"/a\">a</a></td>",
             "<td background=\"/a.jpg\"><a href=\"/a\">a</a></td>"},
            {"no background cell", "<td><a href=\"/a\">a</a></table>", "<td><a href=\"/a\">a</a></table>"},
        });
}

TEST(PopMechPictures, LinksToPictureFilesBecomeThePictureItself)
{
    ExpectRewrites(
        PopMech::FlattenImageLinks,
        {
            {"direct link", "x<a href=\"/big/p.jpg\"><img src=\"/small/p.gif\" width=60></a>y",
             "x<img src=\"/big/p.jpg\">y"},
            {"script address: the picture after the last '?'",
             "<a href='/popup.php?/pics/a.png&amp;w=1' target=_blank>\n <img src=t.png>\n</a>",
             "<img src=\"/pics/a.png\">"},
            {"query parameter: the parameter's text is the source", "<a href=/show.php?img=/pics/big.jpg><img src=s></a>",
             "<img src=\"img=/pics/big.jpg\">"},
            {"first extension followed by a non-word character", "<a href=\"/a.gif.html\"><img src=s.gif></a>",
             "<img src=\"/a.gif\">"},
            {"link to a page stays with its picture", "<a href=\"/article/1\"><img src=\"/t.jpg\"></a>",
             "<a href=\"/article/1\"><img src=\"/t.jpg\"></a>"},
            {"extension in capitals is no picture", "<a href=\"/p.JPG\"><img src=\"/t.jpg\"></a>",
             "<a href=\"/p.JPG\"><img src=\"/t.jpg\"></a>"},
            {"link with text besides the picture stays", "<a href=\"/p.jpg\"><img src=\"/t.jpg\"> big</a>",
             "<a href=\"/p.jpg\"><img src=\"/t.jpg\"> big</a>"},
            {"two links in a row", "<a href=/1.jpg><img></a><a href=/2.bmp><img></a>",
             "<img src=\"/1.jpg\"><img src=\"/2.bmp\">"},
        });
}

TEST(PopMechComments, PageEndsAfterTheLastCommentBlockBeforeNoindex)
{
    const std::string anchor = "<a name=\"comments\"></a><span>Комментарии</span>";
    ExpectRewrites(
        PopMech::CutComments,
        {
            {"no comments anchor", "<p>text</p><noindex>ads</noindex>", "<p>text</p><noindex>ads</noindex>"},
            {"anchor without noindex after it", "<noindex>x</noindex>" + anchor + "<table><td class=dots>c</table>",
             "<noindex>x</noindex>" + anchor + "<table><td class=dots>c</table>"},
            {"no comment block: cut right after the anchor's span", "a" + anchor + "\n<p>b</p><noindex>c",
             "a" + anchor},
            {"cut after the last block, blocks running across lines",
             anchor + "<table><td class=\"dots\">one\ntwo</td></table>\n<table><td class='dots'>three</td></table>"
                      "<p>tail</p><noindex>ads</noindex>",
             anchor + "<table><td class=\"dots\">one\ntwo</td></table>\n<table><td class='dots'>three</td></table>"},
            {"a block that runs past noindex is not taken",
             anchor + "<table><td class=dots>one</td></table><p>between</p>"
                      "<table><td class=dots>two<noindex>x</noindex></td></table>",
             anchor + "<table><td class=dots>one</td></table>"},
            {"blocks before the anchor do not count",
             "<table><td class=dots>old</td></table>" + anchor + "<p>x</p><noindex>",
             "<table><td class=dots>old</td></table>" + anchor},
            {"the anchor's span must be on its line", "<a name=comments>\n<span>c</span><noindex>",
             "<a name=comments>\n<span>c</span><noindex>"},
        });
}
