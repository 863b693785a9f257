// The book and the index of saved issues, made from real directories: the book's reading order, the
// pictures it takes by their bytes, when it is remade, and the index's issues by year, newest first. The
// sample issues' books are checked whole by epubcheck (tests/e2e); these rows are the rules.
#include "reader/Epub.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "reader/IssueIndex.h"
#include "support/AplFailure.h"
#include "support/LoopbackTransfer.h"
#include "support/ProcessRunner.h"
#include "support/TempDir.h"

namespace {

using TestSupport::FailureOf;
using TestSupport::ReadFile;
using TestSupport::WriteFile;

std::string Page(const std::string& Title, const std::string& Body)
{
    return "<html><head><title>" + Title + "</title></head><body>" + Body + "</body></html>";
}

void WriteArticle(const TestSupport::TTempDir& Save, const std::string& Name,
                  const std::vector<std::string>& Articles)
{
    for (const std::string& article : Articles)
        WriteFile(Save / (Name + "/" + Name + "_" + article + ".htm"),
                  Page("Статья", "<h1>Статья " + article + "</h1>"));
}

const std::string kPng =
    std::string("\x89PNG\r\n\x1A\n", 8) + "pixels" + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
const std::string kSvg =
    "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1\" height=\"1\"/>\n";

/// An issue directory below Save: its contents page linking to the articles Linked, and the pages of the
/// articles Saved.
void WriteIssue(const TestSupport::TTempDir& Save, const std::string& Name,
                const std::vector<std::string>& Linked, const std::vector<std::string>& Saved)
{
    std::string links;
    for (const std::string& article : Linked)
        links += "<a href=\"" + Name + "_" + article + ".htm\">Статья " + article + "</a>";
    mkdir((Save / Name).c_str(), 0777);
    WriteFile(Save / (Name + "/" + Name + "_00.htm"), Page("Журнал " + Name, links));
    WriteArticle(Save, Name, Saved);
}

TEST(IssueBook, ReadsInTheNavigationOrderTakesPicturesByTheirBytesAndIsRemadeWhenTheCopyChanged)
{
    TestSupport::TTempDir save;
    const std::string url = "http://mag-a.test/magazine/2007-05/";
    // Article 03 failed at first.
    WriteIssue(save, "2007_05", {"01", "02", "03", "99", "100"}, {"01", "02", "99", "100"});
    mkdir((save / "2007_05/2007_05_01").c_str(), 0777);
    // A picture is what its bytes are, whatever its name: an SVG goes in; WebP and an error page do not.
    WriteFile(save / "2007_05/2007_05_01/01.jpg", TestSupport::MakePicture("jpeg"));
    WriteFile(save / "2007_05/2007_05_01/02.gif", kPng);
    WriteFile(save / "2007_05/2007_05_01/03.svg", kSvg);
    WriteFile(save / "2007_05/2007_05_01/04.webp", std::string("RIFF\x0D\0\0\0WEBPVP8 frame", 21));
    WriteFile(save / "2007_05/2007_05_01/05.jpg", "<html>Not found</html>");
    const std::vector<std::string> first = {"2007_05_00.xhtml", "2007_05_01.xhtml", "2007_05_02.xhtml",
                                            "2007_05_99.xhtml", "2007_05_100.xhtml"};
    std::vector<std::string> withThird = first;
    withThird.insert(withThird.begin() + 3, "2007_05_03.xhtml");
    const std::map<std::string, std::string> pictures = {{"2007_05_01/01.jpg", "image/jpeg"},
                                                         {"2007_05_01/02.png", "image/png"},
                                                         {"2007_05_01/03.svg", "image/svg+xml"}};
    const struct {
        const char* What;
        std::function<void()> Change; ///< what happens to the copy before the book is asked for
        std::string Url;
        bool UpToDate;
        std::vector<std::string> Spine;
    } rows[] = {
        {"first", [] {}, url, false, first},
        {"the same copy", [] {}, url, true, first},
        {"a repair brought an article", [&] { WriteArticle(save, "2007_05", {"03"}); }, url, false,
         withThird},
        {"the same again", [] {}, url, true, withThird},
        {"a picture replaced",
         [&] {
             std::remove((save / "2007_05/2007_05_01/01.jpg").c_str());
             WriteFile(save / "2007_05/2007_05_01/01.jpg", TestSupport::MakePicture("whole jpeg"));
         },
         url, false, withThird},
        {"another address", [] {}, "https://mag-a.test/magazine/2007-05/", false, withThird},
    };
    const std::string book = save / "2007_05.epub";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.What);
        row.Change();
        const TIssueBook made = MakeIssueBook(save.Path(), "2007_05", row.Url);
        EXPECT_EQ(made.Path, book);
        EXPECT_EQ(made.UpToDate, row.UpToDate);
        const std::optional<TBookFacts> facts = ReadIssueBook(book, false);
        ASSERT_TRUE(facts.has_value());
        EXPECT_EQ(facts->Spine, row.Spine);
        EXPECT_EQ(facts->Identifier, row.Url);
        std::map<std::string, std::string> found;
        for (const auto& [file, type] : facts->MediaTypes)
            if (type.compare(0, 6, "image/") == 0)
                found[file] = type;
        EXPECT_EQ(found, pictures);
    }

    // A book that Skerrow did not make is left alone, and reported.
    WriteIssue(save, "2008_pvl", {"01"}, {"01"});
    WriteFile(save / "2008_pvl.epub", "my own book");
    EXPECT_EQ(FailureOf([&] { MakeIssueBook(save.Path(), "2008_pvl", url); }),
              "Файл " + save / "2008_pvl.epub" + " уже существует");
    EXPECT_EQ(ReadFile(save / "2008_pvl.epub"), "my own book");
    // An issue named by a word is dated by its year.
    remove((save / "2008_pvl.epub").c_str());
    MakeIssueBook(save.Path(), "2008_pvl", url);
    EXPECT_EQ(ReadIssueBook(save / "2008_pvl.epub", false)->Title, u8"Журнал 2008");
    // The language that a described magazine's contents page names is the book's and its pages'.
    mkdir((save / "2009_01").c_str(), 0777);
    WriteArticle(save, "2009_01", {"01"});
    WriteFile(save / "2009_01/2009_01_00.htm",
              "<html><head><title>Mag 2009_01</title><meta name=\"DC.language\" content=\"en\"></head>"
              "<body><a href=\"2009_01_01.htm\">One</a></body></html>");
    MakeIssueBook(save.Path(), "2009_01", url);
    const auto entry = [&](const std::string& Name) {
        return TestSupport::RunProcess({"/usr/bin/unzip", "-p", save / "2009_01.epub", Name}).Stdout;
    };
    EXPECT_NE(entry("EPUB/package.opf").find("<dc:language>en</dc:language>"), std::string::npos);
    EXPECT_NE(entry("EPUB/2009_01_01.xhtml").find("xml:lang=\"en\" lang=\"en\""), std::string::npos);
}

TEST(IssueIndex, ListsEveryIssueTheProgramNamesByYearNewestFirst)
{
    TestSupport::TTempDir save;
    // What the save path holds, in no order; the index lists them as the rows below say.
    for (const char* name : {"2007_05", "2008_lis", "0999_03", "2007_unkn", "2008_01", "2007_pvl", "2007_12",
                             "12345_01", "2008_12"})
        WriteIssue(save, name, {"01"}, {"01"});
    // Not issues: a page's name, another folder, an issue directory without its contents page.
    mkdir((save / "2007_05_01").c_str(), 0777);
    mkdir((save / "photos").c_str(), 0777);
    mkdir((save / "2006_01").c_str(), 0777);
    const std::vector<std::string> rows = {
        "year 12345", "12345_01",                                     //
        "year 2008",  "2008_12",  "2008_01", "2008_lis",              //
        "year 2007",  "2007_12",  "2007_05", "2007_pvl", "2007_unkn", //
        "year 0999",  "0999_03",
    };
    const std::string index = ReadFile(WriteIssueIndex(save.Path()));
    std::vector<std::string> found;
    const std::regex entry("<h2>([^<]*)</h2>|<a href=\"([^/\"]*)/");
    for (auto it = std::sregex_iterator(index.begin(), index.end(), entry); it != std::sregex_iterator();
         ++it)
        found.push_back((*it)[1].matched ? "year " + (*it)[1].str() : (*it)[2].str());
    EXPECT_EQ(found, rows) << index;
}

} // namespace
