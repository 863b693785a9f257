// The selector engine against a browser: every row's page is parsed and searched by the engine and by
// headless Chromium (DOMParser and querySelectorAll, all rows in one run of the browser, one test), and the
// matched elements, as their places among the page's elements in document order, must be the same.
#include "magazine/Selector.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace {

struct TSelectorCase {
    const char* Name;
    const char* Page;
    const char* Selector;
};

const char kParagraphs[] = "<p>one<p>two<div><p>three</div><p>four";
const char kTable[] = "<table><tr><td>a<td>b<td class=c>c</tr><div class=x>fostered</div><tr><td>d</table>";
const char kFormatting[] = "<p><b>1<i>2</b>3</i>4<a href=x>5<a href=y>6</a></p>";
const char kImplied[] = "<title>t</title><meta name=a content=b><p>x<!-- <p>comment</p> --><br>";
const char kClasses[] = "<!DOCTYPE html><div class=\"a  b\" data-x=\"one two\"><span id=s class=b>s</span>"
                        "<span class=\"ab\">t</span></div><p data-x=\"one\" id=\"s2\">u</p>";
const char kTypes[] = "<ul><li>1<li>2<li>3</ul><ul><li>4<b>x</b><i>y</i><b>z</b></ul><ol><li>5</ol>";
const char kRealWorld[] =
    "<!DOCTYPE html><html lang=ru><head><script>var s = '<p class=\"lead\">not a tag</p>';</script>"
    "<meta property=\"og:image\" content=\"/c.jpg\"></head><body><div class=cookie-banner>c</div>"
    "<main><article class=\"story\"><h1>T</h1><p class=lead>L<div class=body><figure><picture>"
    "<source srcset=\"a.jpg 1w\"><img src=b.jpg></picture><figcaption>F</figcaption></figure>"
    "<template><p class=lead>in a template</p></template><p>B</div></article><aside><p>R</aside></main>";
const char kUpperCase[] = "<!DOCTYPE html><DIV CLASS=Big ID=Main><P>x<SPAN Data-A=\"V\">y</SPAN></DIV>";
const char kForeign[] =
    "<div><svg><circle class=c /><g><rect class=c /></g></svg><math><mi class=c>x</mi></math></div>";
const char kLists[] = "<select><option>1<option selected>2</select><dl><dt>a<dd>b<dt>c</dl>";

const TSelectorCase kCases[] = {
    {"ParagraphsType", kParagraphs, "p"},
    {"ParagraphsChild", kParagraphs, "div > p"},
    {"ParagraphsBodyChild", kParagraphs, "body > p"},
    {"TableCells", kTable, "tbody > tr > td"},
    {"TableFostered", kTable, "table div, body > div"},
    {"TableNthOfType", kTable, "td:nth-of-type(2)"},
    {"TableClass", kTable, "tr .c"},
    {"FormattingBold", kFormatting, "b"},
    {"FormattingItalic", kFormatting, "i"},
    {"FormattingNested", kFormatting, "b i, p > i"},
    {"FormattingLinks", kFormatting, "a a, p > a"},
    {"ImpliedHead", kImplied, "head meta[name=a]"},
    {"ImpliedBody", kImplied, "html > *"},
    {"ImpliedAll", kImplied, "*"},
    {"ClassesBoth", kClasses, ".a.b"},
    {"ClassesWord", kClasses, "[data-x~=two], [data-x~=on]"},
    {"ClassesPrefix", kClasses, "[data-x^=on]"},
    {"ClassesQuoted", kClasses, "[data-x=\"one two\"], [id='s2']"},
    {"ClassesId", kClasses, "#s, div #s2"},
    {"ClassesAttribute", kClasses, "div [class]"},
    {"ClassesList", kClasses, "span.b, div.a, span.ab"},
    {"TypesFirst", kTypes, "li:first-of-type"},
    {"TypesNth", kTypes, "li:nth-of-type(2), b:nth-of-type(2)"},
    {"TypesSecondList", kTypes, "ul:nth-of-type(2) li"},
    {"TypesFirstOfEveryKind", kTypes, "ul > li > :first-of-type"},
    {"RealWorldLead", kRealWorld, "article .lead"},
    {"RealWorldKeep", kRealWorld, "article.story h1, article.story .lead, article.story .body"},
    {"RealWorldPicture", kRealWorld, "picture > source, picture img, figure figcaption"},
    {"RealWorldOgImage", kRealWorld, "meta[property='og:image']"},
    {"RealWorldParagraphs", kRealWorld, "main p"},
    {"RealWorldScript", kRealWorld, "head > script, template"},
    {"UpperCaseNames", kUpperCase, "DIV.Big > p, #Main span[data-a=V]"},
    {"UpperCaseClassIsCaseSensitive", kUpperCase, ".big, .Big"},
    {"ForeignElements", kForeign, "svg .c, math .c, g > rect"},
    {"Lists", kLists, "option:nth-of-type(2), dt:first-of-type, dd"},
};

/// Every element of Tree's page in document order.
std::vector<const GumboNode*> AllElements(const Magazine::THtmlTree& Tree)
{
    Magazine::TSelector all;
    std::string error;
    size_t at = 0;
    EXPECT_TRUE(Magazine::TSelector::Parse("*", all, error, at));
    return all.Select(Tree);
}

/// The engine's answer: the places of the matched elements among all, blank-separated.
std::string EngineAnswer(const TSelectorCase& Case)
{
    const Magazine::THtmlTree tree(Case.Page);
    const std::vector<const GumboNode*> all = AllElements(tree);
    Magazine::TSelector selector;
    std::string error;
    size_t at = 0;
    if (!Magazine::TSelector::Parse(Case.Selector, selector, error, at))
        return "error: " + error;
    std::string answer;
    for (const GumboNode* element : selector.Select(tree)) {
        size_t place = 0;
        while (place < all.size() && all[place] != element)
            ++place;
        answer += (answer.empty() ? "" : " ") + std::to_string(place);
    }
    return answer;
}

/// Text as a JavaScript string literal.
std::string JavaScriptString(const std::string& Text)
{
    std::string literal = "\"";
    for (const char c : Text) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
        if (plain) {
            literal += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            literal += escaped;
        }
    }
    return literal + "\"";
}

/// Chromium's answers for kCases, one line each, from one run of the browser; with Skipped set to why
/// when the browser cannot be run here.
struct TChromiumAnswers {
    std::vector<std::string> Lines;
    std::string Skipped;
};

TChromiumAnswers ChromiumAnswers()
{
    TChromiumAnswers result;
    const std::string chromium = "/usr/bin/chromium";
    if (!std::ifstream(chromium)) {
        result.Skipped = "Chromium is not installed";
        return result;
    }
    const TestSupport::TTempDir dir;
    std::string script = "const cases = [\n";
    for (const TSelectorCase& test : kCases)
        script += "[" + JavaScriptString(test.Page) + ", " + JavaScriptString(test.Selector) + "],\n";
    script += "];\nconst lines = [];\nfor (const [html, selector] of cases) {\n"
              "  const doc = new DOMParser().parseFromString(html, 'text/html');\n"
              "  const all = Array.from(doc.getElementsByTagName('*'));\n"
              "  lines.push('case:' + Array.from(doc.querySelectorAll(selector)).map(e => "
              "all.indexOf(e)).join(' '));\n"
              "}\ndocument.getElementById('out').textContent = lines.join('\\n');\n";
    std::ofstream(dir / "cases.html")
        << "<!DOCTYPE html><html><body><pre id=out></pre><script>" << script << "</script></body></html>";
    const TestSupport::TProcessResult run = TestSupport::RunProcess(
        {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + dir / "profile", "--dump-dom", "file://" + dir / "cases.html"});
    const size_t begin = run.Stdout.find("<pre id=\"out\">");
    const size_t end = run.Stdout.find("</pre>");
    if (begin == std::string::npos || end == std::string::npos) {
        result.Skipped = "Chromium did not run: " + run.Stderr.substr(0, 300);
        return result;
    }
    const std::string text = run.Stdout.substr(begin + 14, end - begin - 14);
    for (size_t at = 0; at < text.size();) {
        const size_t line = text.find('\n', at);
        result.Lines.push_back(
            text.substr(at + 5, (line == std::string::npos ? text.size() : line) - at - 5));
        at = line == std::string::npos ? text.size() : line + 1;
    }
    return result;
}

// One test for the whole table: ctest runs each test in a process of its own, and the browser is started
// once.
TEST(SelectorTest, MatchesWhatChromiumMatches)
{
    const TChromiumAnswers chromium = ChromiumAnswers();
    if (!chromium.Skipped.empty())
        GTEST_SKIP() << chromium.Skipped;
    ASSERT_EQ(chromium.Lines.size(), std::size(kCases));
    for (size_t row = 0; row < std::size(kCases); ++row)
        EXPECT_EQ(EngineAnswer(kCases[row]), chromium.Lines[row])
            << kCases[row].Name << ": " << kCases[row].Page << "\n"
            << kCases[row].Selector;
}

TEST(SelectorTest, ElementBytesAreThePagesOwn)
{
    // A windows-1251 page: what gumbo cannot read as UTF-8 takes no byte of the markup after it.
    const std::string page = "<div class=\"\xEA\xEB\">\xCF\xF0<p>\xE8\xE2</div>\xE5<p title=\xF2\xF3>x";
    const Magazine::THtmlTree tree(page);
    Magazine::TSelector selector;
    std::string error;
    size_t at = 0;
    ASSERT_TRUE(Magazine::TSelector::Parse("p, div.\xEA\xEB", selector, error, at));
    const std::vector<const GumboNode*> found = selector.Select(tree);
    ASSERT_EQ(found.size(), 3u);
    const auto outer = [&page](const GumboNode* Element) {
        const Magazine::TRange range = Magazine::OuterRange(Element, page);
        return page.substr(range.Begin, range.End - range.Begin);
    };
    EXPECT_EQ(outer(found[0]), "<div class=\"\xEA\xEB\">\xCF\xF0<p>\xE8\xE2</div>");
    EXPECT_EQ(outer(found[1]), "<p>\xE8\xE2");
    EXPECT_EQ(outer(found[2]), "<p title=\xF2\xF3>x");
    EXPECT_EQ(Magazine::ElementText(found[0], page), "\xCF\xF0\xE8\xE2");
    EXPECT_EQ(Magazine::RawValue(*Magazine::FindAttribute(found[2], "title"), page), "\xF2\xF3");
}

} // namespace
