// Saved pages made XHTML for the book: markup the book's content model does not allow where it stands,
// obsolete presentational markup, and the book's links and pictures. The books of the sample issues are
// checked whole by epubcheck (tests/e2e); these rows are the shapes the samples do not hold.
#include "reader/XhtmlPage.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <set>
#include <string>
#include <vector>

#include "libs/Url.h"

namespace {

struct TRow {
    const char* Html; ///< the body of a saved page
    const char* Body; ///< the body of its book page
};

const TRow kRows[] = {
    // Obsolete presentational markup mapped or dropped.
    {"<center>c</center><font color=red size=1>f</font><strike>s</strike><tt>t</tt>",
     "<div style=\"text-align: center;\">c</div><span>f</span><s>s</s><code>t</code>"},
    {"<p align=center>a</p><table align=right border=1 width=100%><tr><td valign=top "
     "bgcolor=red>b</td></tr></table>",
     "<p style=\"text-align: center;\">a</p><table style=\"float: right;\"><tr><td style=\"vertical-align: "
     "top;\">b</td></tr></table>"},
    // Blocks inside phrasing content: the phrasing element becomes a division.
    {"<span><table><tr><td>x</td></tr></table></span>", "<div><table><tr><td>x</td></tr></table></div>"},
    {"<b><a href=\"http://example.org/\"><div>d</div></a></b>",
     "<div><a href=\"http://example.org/\"><div>d</div></a></div>"},
    // Table parts and list items away from their table or list.
    {"<td class=x>cell</td><li>item</li>", "<div class=\"x\">cell</div><div>item</div>"},
    {"<table><tr><td>a</td>text<span>b</span></tr></table>",
     "<table><tr><td>a</td><td>text</td><td><span>b</span></td></tr></table>"},
    {"<ul>text<li>i</li></ul>", "<ul><li>text</li><li>i</li></ul>"},
    // Left out with what they hold: scripts, styles, forms; unknown elements give their content.
    {"<script>var a = 1;</script><noindex>kept</noindex><form><input name=q></form><nobreak>o</nobreak>",
     "kepto"},
    // Links: pages of the issue lead to the book's pages (a fragment only where its target is kept), a
    // failed page nowhere; pictures of the issue are no pages; outside links made absolute.
    {"<a href=\"2007_05_01.htm#comments\">1</a><a href=\"2007_05_01.htm#none\">2</a><a "
     "href=\"2007_05_03.htm\">3</a>"
     "<a href=\"2007_05_01/01.jpg\">4</a><a href=\"/about/\">5</a><a href=\"#top\">6</a><a name=\"top\">7</a>"
     "<a href=\"javascript:go()\">8</a><a href=\"mailto:ed@example.org\">9</a>",
     "<a href=\"2007_05_01.xhtml#comments\">1</a><a href=\"2007_05_01.xhtml\">2</a><a>3</a><a>4</a>"
     "<a href=\"http://mag-a.test/about/\">5</a><a href=\"#top\">6</a><a id=\"top\">7</a><a>8</a>"
     "<a href=\"mailto:ed@example.org\">9</a>"},
    {"<p><a href=\"2007_05_01.htm#x&amp;y\">1</a> <a href=\"2007_05_00.htm#top\">2</a></p>",
     "<p><a href=\"2007_05_01.xhtml#x&amp;y\">1</a> <a href=\"2007_05_00.xhtml#top\">2</a></p>"},
    // Pictures: in the book under the name their bytes tell; one that was not saved is left out.
    {"<img src=\"2007_05_01/01.jpg\" width=\"100%\"><img src=\"2007_05_01/02.jpg\"><img "
     "src=\"http://x.test/a.png\">",
     "<img src=\"2007_05_01/01.png\" alt=\"\"/>"},
    // Ids kept once.
    {"<div id=\"a\">1</div><div id=\"a\">2</div><div id=\"9x\">3</div>",
     "<div id=\"a\">1</div><div>2</div><div>3</div>"},
};

TEST(XhtmlPage, RowsOfMarkupTheBookRepairsMapsOrDrops)
{
    const BrintLib::TPageUrl base("http://mag-a.test/magazine/2007-05/");
    TBookMap map;
    map.IssueName = "2007_05";
    map.Base = &base;
    map.Ids[0] = {"top"};
    map.Ids[1] = {"comments", "x&y"};
    map.Pictures["2007_05_01/01.jpg"] = "2007_05_01/01.png";
    // The book converts each page before it knows the ids of the others, and completes the links after.
    TBookMap unknownIds = map;
    for (auto& page : unknownIds.Ids)
        page.second.clear();
    unknownIds.Ids[0] = map.Ids[0];
    for (const TRow& row : kRows) {
        SCOPED_TRACE(row.Html);
        std::set<std::string> missing;
        const std::string page =
            std::string("<html><head><title>t</title></head><body>") + row.Html + "</body></html>";
        const std::string xhtml = ToXhtml(TParsedPage(page), 0, map, "t", std::string(), missing);
        std::vector<TPendingFragment> pending;
        std::set<std::string> missingToo;
        std::string completed =
            ToXhtml(TParsedPage(page), 0, unknownIds, "t", std::string(), missingToo, &pending);
        ResolveFragments(completed, pending, map);
        EXPECT_EQ(completed, xhtml);
        const size_t start = xhtml.find("<body>\n") + 7;
        EXPECT_EQ(xhtml.substr(start, xhtml.rfind("\n</body>") - start), row.Body);
        // The page is well-formed XML.
        xmlDoc* doc = xmlReadMemory(xhtml.data(), static_cast<int>(xhtml.size()), nullptr, "utf-8",
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        EXPECT_NE(doc, nullptr) << xhtml;
        xmlFreeDoc(doc);
        if (std::string(row.Html).find("02.jpg") != std::string::npos) {
            EXPECT_EQ(missing, std::set<std::string>{"2007_05_01/02.jpg"});
        }
    }
}

} // namespace
