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

/// Runs Rewrite on each case's page; the page's reading copy must stay in step with its text.
void ExpectRewrites(void (*Rewrite)(THtmlPage&), const std::vector<TRewriteCase>& Cases)
{
    for (const TRewriteCase& c : Cases) {
        THtmlPage page(c.Input);
        Rewrite(page);
        EXPECT_EQ(page.Text(), c.Expected) << c.Name;
        EXPECT_EQ(page.Copy(), ReadingCopy(page.Text())) << c.Name;
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
        {"https://mag-a.test/issue/200705/", true, "https://mag-a.test/"},
        {"https://www.mag-a-archive.test/2007/05", true, "https://www.mag-a-archive.test/"},
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
              "Ошибка при поиске шаблона: \"" + FindPattern(PopMech::Patterns(), "A.UrlPrefix").Text +
                  "\" в строке \"mag-a.test\"");
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

TEST(PopMechArticle, BlockKeepsWhatABrowserShowsInTheArticleCell)
{
    const std::string cell = "<table><tr><td class=block_header_main_inner>";
    const std::string logs = "<td class=block_logs>logs</td></tr></table>";
    ExpectRewrites(
        PopMech::KeepArticleBlock,
        {
            {"the cell up to its own </td>, without the rows after it",
             "<p>before</p>" + cell + "<p>text</p></td>\n</tr><tr><td>other</td></tr><tr>" + logs,
             "<td class=block_header_main_inner><p>text</p></td>"},
            {"blanks and comments after the </td> show nothing",
             cell + "<p>text</p></td> <!-- x --> </td>\n" + logs,
             "<td class=block_header_main_inner><p>text</p></td>"},
            {"a stray </td> in a division: what follows is shown, pictures too",
             cell + "<p>one</p><div><p>inner</p></td></div><p>two</p><img src=b.jpg></td>\n" + logs,
             "<td class=block_header_main_inner><p>one</p><div><p>inner</p></td></div><p>two</p><img "
             "src=b.jpg></td>"},
            {"a stray </td></tr>", cell + "<p>one</p></td></tr> <p>two</p><img src=b.jpg></td>" + logs,
             "<td class=block_header_main_inner><p>one</p></td></tr> <p>two</p><img src=b.jpg></td>"},
            {"a stray </td> after a closed inner table",
             cell + "<table><tr><td>in</td></tr></table></td><p>two</p><img src=b.jpg>\n" + logs,
             "<td class=block_header_main_inner><table><tr><td>in</td></tr></table></td><p>two</p><img "
             "src=b.jpg>"},
        });
}

TEST(PopMechPictures, BackgroundCellsBecomeLinkedPictures)
{
    ExpectRewrites(
        PopMech::ReplaceBackgroundCells,
        {
            {"cell with a nested table around its link: the nested table goes, the cell's own tags stay",
             "<tr><td class=c background=\"/i/bg.jpg\" width=9><table><tr><td><a href=\"/x.html\" "
             "title=t>X</a>"
             "</td></tr></table></td></tr>",
             "<tr><td><a href=\"/x.html\" title=t><img src=\"/i/bg.jpg\">X</a></td></tr>"},
            {"cell inside its own table: the table keeps its row and closing tags",
             "<table><tr><td background=\"/c.jpg\" width=120><a "
             "href=\"/g\">G</a></td></tr></table><p>after</p>",
             "<table><tr><td><a href=\"/g\"><img src=\"/c.jpg\">G</a></td></tr></table><p>after</p>"},
            {"single-quoted and bare backgrounds, two cells ended by their tables",
             "1<td background='/a.gif'><a href='/a'>a</a></table>2<td background=/b.png><a "
             "href=/b>b</a></table>3",
             "1<td><a href='/a'><img src=\"/a.gif\">a</a></td></table>2<td><a href=/b><img "
             "src=\"/b.png\">b</a></td>"
             "</table>3"},
            {"a cell without </td> ends at the next cell",
             "<tr><td background=/c.jpg><a href=/g>G</a><td>next</td></tr>",
             "<tr><td><a href=/g><img src=\"/c.jpg\">G</a></td><td>next</td></tr>"},
            {"nested tables in capitals and a comment inside the cell",
             "<td background=\"/c.jpg\"><TABLE><TR><TD><a href=\"/g\">G</a></TD></TR></TABLE><!-- </td> "
             "--></TD></TR>",
             "<td><a href=\"/g\"><img src=\"/c.jpg\">G</a></td></TR>"},
            {"a link after the cell is not the cell's: nothing is removed",
             "<td background=\"/bg.jpg\">text</td></tr></table><p><a href=\"/z\">z</a></p></table>tail",
             "<td background=\"/bg.jpg\">text</td></tr></table><p><a href=\"/z\">z</a></p></table>tail"},
            {"cells without a link stay",
             "<td background=\"/a.jpg\">a</table><td background=\"/b.jpg\">b</table>",
             "<td background=\"/a.jpg\">a</table><td background=\"/b.jpg\">b</table>"},
            {"a cell without a link stays and a later cell is still rewritten",
             "<tr><td background=\"i/corner.gif\" width=8></td><td background=\"/b.jpg\"><a "
             "href=\"/b\">b</a></td>"
             "</tr></table><h1>T</h1>",
             "<tr><td background=\"i/corner.gif\" width=8></td><td><a href=\"/b\"><img "
             "src=\"/b.jpg\">b</a></td>"
             "</tr></table><h1>T</h1>"},
            {"a link tag with a tab after <a is not a link here",
             "<td background=\"/a.jpg\"><a\thref=\"/a\">a</a></table>",
             "<td background=\"/a.jpg\"><a\thref=\"/a\">a</a></table>"},
            {"what follows a cell's own </td> stays",
             "<tr><td background=/a.jpg><a href=/a>a</a></td>after<td>next</td></tr>",
             "<tr><td><a href=/a><img src=\"/a.jpg\">a</a></td>after<td>next</td></tr>"},
            {"a cell closed by its own </td> needs no table end after it",
             "<td background=\"/a.jpg\"><a href=\"/a\">a</a></td>",
             "<td><a href=\"/a\"><img src=\"/a.jpg\">a</a></td>"},
            {"the word in text, in another tag or in another attribute's value is no background; a '>' in "
             "quotes does not end the tag",
             "background <p background=/p.jpg><td title='background=/v.jpg'><a href=/v>v</a></td>"
             "<td title=\"a>b\" background=\"/t.jpg\"><a href=/t>t</a></td>"
             "<td\nbackground=/n.jpg><a href=/n>n</a></td>",
             "background <p background=/p.jpg><td title='background=/v.jpg'><a href=/v>v</a></td>"
             "<td><a href=/t><img src=\"/t.jpg\">t</a></td><td><a href=/n><img src=\"/n.jpg\">n</a></td>"},
            {"names in capitals; a script or a comment holding </td> does not end the cell",
             "<TD BACKGROUND=\"/u.jpg\"><script>var s = \"</td>\";</script><A HREF=\"/u\">u</A></TD>"
             "<td background=/c.jpg><!-- </td> --><a href=/c>c</a></td>",
             "<td><A HREF=\"/u\"><img src=\"/u.jpg\">u</a></td><td><a href=/c><img "
             "src=\"/c.jpg\">c</a></td>"},
            {"the text and pictures a cell shows stay in their order, but the link's placeholder",
             "<td background=/bg.jpg><p>Перед</p><a href=/g><img src=/blank.gif width=9> "
             "подпись</a><br>после "
             "<img src=/x.png><table><tr><td background=/in.gif>внутри</td></tr></table></td>",
             "<td>Перед<a href=/g><img src=\"/bg.jpg\"> подпись</a>после  <img src=/x.png> <img "
             "src=\"/in.gif\">"
             "внутри</td>"},
            {"scripts, styles, comments, hidden content, blanks and no-break spaces show nothing",
             "<td background=/b.jpg><script>var s = 'x';</script><style>p{}</style><!-- c "
             "--><noscript>n</noscript> "
             "&nbsp;\xA0<a href=/b><img src=/blank.gif></a>&#160;&#xA0;\n</td>",
             "<td><a href=/b><img src=\"/b.jpg\"></a></td>"},
            {"a link's second picture is no placeholder",
             "<td background=/b.jpg><a href=/b><img src=/1.gif><img "
             "src=/2.png></a></td>",
             "<td><a href=/b><img src=\"/b.jpg\"><img src=/2.png></a></td>"},
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
            {"query parameter: the parameter's text is the source",
             "<a href=/show.php?img=/pics/big.jpg><img src=s></a>", "<img src=\"img=/pics/big.jpg\">"},
            {"first extension followed by a non-word character",
             "<a href=\"/a.gif.html\"><img src=s.gif></a>", "<img src=\"/a.gif\">"},
            {"link to a page stays with its picture", "<a href=\"/article/1\"><img src=\"/t.jpg\"></a>",
             "<a href=\"/article/1\"><img src=\"/t.jpg\"></a>"},
            {"extensions in any case, jpeg and webp, tags in capitals",
             "<a href=\"/p.JPG\"><img src=\"/t.jpg\"></a><A HREF=/q.jpeg><IMG SRC=s></A>"
             "<a href='/r.Webp'><img></a>",
             "<img src=\"/p.JPG\"><img src=\"/q.jpeg\"><img src=\"/r.Webp\">"},
            {"an href inside another attribute's value or a comment is no target",
             "<a title='href=\"/f.jpg\"' href=\"/page\"><img></a><!-- <a href=/c.jpg><img></a> -->",
             "<a title='href=\"/f.jpg\"' href=\"/page\"><img></a><!-- <a href=/c.jpg><img></a> -->"},
            {"a data-href is no target", "<a data-href=\"/d.jpg\" href=\"/page\"><img></a>",
             "<a data-href=\"/d.jpg\" href=\"/page\"><img></a>"},
            {"link with text besides the picture stays", "<a href=\"/p.jpg\"><img src=\"/t.jpg\"> big</a>",
             "<a href=\"/p.jpg\"><img src=\"/t.jpg\"> big</a>"},
            {"two links in a row", "<a href=/1.jpg><img></a><a href=/2.bmp><img></a>",
             "<img src=\"/1.jpg\"><img src=\"/2.bmp\">"},
            {"a '>' inside the quoted target, picture next or not",
             "<a href=\"/p>q.jpg\"><img></a><a href=\"/r><b>s.png\"><img></a><a title=\"t>\" href=/u.gif><b>",
             "<img src=\"/p>q.jpg\"><img src=\"/r><b>s.png\"><a title=\"t>\" href=/u.gif><b>"},
            {"an extension needs a name before its dot; the last extension may end the target",
             "<a href=\".svg\"><img></a><a href='x.svg'><img></a><a href=\"a.sv\"><img></a>",
             "<a href=\".svg\"><img></a><img src=\"x.svg\"><a href=\"a.sv\"><img></a>"},
        });
}

TEST(PopMechComments, PageEndsAfterTheLastCommentBlockBeforeNoindex)
{
    const std::string anchor = "<a name=\"comments\"></a><span>Комментарии</span>";
    ExpectRewrites(
        PopMech::CutComments,
        {
            {"no comments anchor", "<p>text</p><noindex>ads</noindex>", "<p>text</p><noindex>ads</noindex>"},
            {"anchor without noindex after it",
             "<noindex>x</noindex>" + anchor + "<table><td class=dots>c</table>",
             "<noindex>x</noindex>" + anchor + "<table><td class=dots>c</table>"},
            {"no comment block: cut right after the anchor's span", "a" + anchor + "\n<p>b</p><noindex>c",
             "a" + anchor},
            {"cut after the last block, blocks running across lines",
             anchor +
                 "<table><td class=\"dots\">one\ntwo</td></table>\n<table><td class='dots'>three</td></table>"
                 "<p>tail</p><noindex>ads</noindex>",
             anchor + "<table><td class=\"dots\">one\ntwo</td></table>\n<table><td "
                      "class='dots'>three</td></table>"},
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
