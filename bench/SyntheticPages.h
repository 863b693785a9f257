// Synthetic magazine pages for benchmarks: windows-1251 HTML of a chosen size that holds every shape the
// program's page patterns look for (pictures, links, background cells, picture links, divisions, contents
// rows, the comments block and the sites' markers), with the three ways of quoting an attribute
// ("x", 'x' and x) mixed throughout. The same options always give the same page. They are made here, not by
// tools/sample-magazine/shapes.py like the sites' sample pages: a benchmark sizes them at run time (up to
// megabytes), and the same bytes keep its figures comparable from one run of the suite to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/SeededRandom.h"

namespace SyntheticPages {

struct TPageOptions {
    std::size_t Size = 1 << 20; // the page grows in blocks until it holds at least this many bytes
    bool ContentZone = true;    // site B's contents division with its cover picture and dated heading
    bool ReflinkDescr = true;   // site B's division that ends an article
    std::uint64_t Seed = 1;
};

namespace Detail {

using TRandom = TestSupport::TSeededRandom;

// The literals below are windows-1251 bytes once compiled (the build's execution character set).
inline const char* const kWords[] = {
    "журнал", "статья", "механика", "самолёт", "двигатель", "история", "наука", "техника", "открытие",
    "учёные", "космос", "ракета",   "корабль", "машина",    "время",   "город", "мир",     "энергия",
    "Россия", "Москва", "проект",   "новый",   "первый",    "большой", "в",     "и",       "на",
    "с",      "по",     "для",      "что",     "как",       "это",     "года",  "лет",     "компания",
};
inline const char* const kMonths[] = {"Январь", "Февраль", "Март",     "Апрель",  "Май",    "Июнь",
                                      "Июль",   "Август",  "Сентябрь", "Октябрь", "Ноябрь", "Декабрь"};
inline const char* const kPictureExtensions[] = {"jpg", "jpg", "jpg", "gif", "png", "gif", "bmp", "svg"};
inline const char* const kDivClasses[] = {"note",  "box",    "menu",        "content",
                                          "descr", "rubric", "content_main"};

inline std::string Number(TRandom& Random, unsigned Bound)
{
    return std::to_string(Random.Below(Bound));
}

// name="value", name='value', name=value, sometimes with blanks around the equals sign.
inline std::string Attribute(TRandom& Random, const std::string& Name, const std::string& Value)
{
    const unsigned form = Random.Below(10);
    const std::string equals = form == 9 ? " = " : "=";
    if (form < 5 || form == 9) {
        return Name + equals + "\"" + Value + "\"";
    }
    if (form < 8) {
        return Name + equals + "'" + Value + "'";
    }
    return Name + equals + Value;
}

inline std::string Words(TRandom& Random, unsigned Count)
{
    std::string text;
    for (unsigned i = 0; i < Count; ++i) {
        text += i ? " " : "";
        text += Random.Pick(kWords);
        if (Random.Below(12) == 0) {
            text += ",";
        }
    }
    return text;
}

inline std::string PicturePath(TRandom& Random)
{
    if (Random.Below(20) == 0) {
        return "/counter.php?id=" + Number(Random, 1000); // no picture type: reported and dropped
    }
    std::string path = Random.Below(6) == 0 ? "http://mag-a.test/images/" : "/images/2007/05/";
    return path + "pic_" + Number(Random, 5000) + "." + Random.Pick(kPictureExtensions);
}

inline std::string Picture(TRandom& Random)
{
    std::string tag = "<img " + Attribute(Random, "src", PicturePath(Random));
    tag += " " + Attribute(Random, "width", Number(Random, 600));
    tag += " " + Attribute(Random, "height", Number(Random, 400));
    if (Random.Below(2)) {
        tag += " alt=\"" + Words(Random, 3) + "\"";
    }
    tag += Random.Below(3) == 0 ? " border=0 />" : ">";
    return tag;
}

inline std::string Paragraph(TRandom& Random)
{
    std::string text = "<p>";
    const unsigned sentences = 2 + Random.Below(5);
    for (unsigned i = 0; i < sentences; ++i) {
        std::string sentence = Words(Random, 6 + Random.Below(14));
        if (Random.Below(4) == 0) {
            sentence += " <b>" + Words(Random, 2) + "</b>";
        }
        text += sentence + (Random.Below(5) == 0 ? ".<br>\n" : ". ");
    }
    return text + "</p>\n";
}

inline std::string Block(TRandom& Random)
{
    switch (Random.Below(12)) {
    case 0:
    case 1:
    case 2:
        return Paragraph(Random);
    case 3:
        return Picture(Random) + "\n";
    case 4:
        return "<a " + Attribute(Random, "href", "/articles/2007/05/" + Number(Random, 900) + "/") + ">" +
               Words(Random, 3) + "</a>\n";
    case 5:
        return "<a " + Attribute(Random, "class", "t_link_big") + " " +
               Attribute(Random, "href", "/issue/" + Number(Random, 900) + ".htm") + ">" + Words(Random, 2) +
               "</a><br>\n";
    case 6: {
        // A picture wrapped in a link to the big picture, directly or through a script.
        const std::string big =
            Random.Below(3) == 0
                ? "/show.php?img=/images/big_" + Number(Random, 900) + ".jpg"
                : "/images/big_" + Number(Random, 900) + "." + Random.Pick(kPictureExtensions);
        return "<a " + Attribute(Random, "href", big) + " target=_blank>\n" + Picture(Random) + "\n</a>\n";
    }
    case 7:
        return "<table><tr><td " + Attribute(Random, "background", PicturePath(Random)) + " width=120>" +
               "<a " + Attribute(Random, "href", "/gallery/" + Number(Random, 900) + ".htm") + "><b>" +
               Words(Random, 2) + "</b></a></td></tr></table>\n";
    case 8:
        return "<div " + Attribute(Random, "class", Random.Pick(kDivClasses)) + ">" + Words(Random, 8) +
               "</div>\n";
    case 9:
        // A contents row: first link, its text, a division with the description.
        return "<tr><td><a " + Attribute(Random, "href", "/article/" + Number(Random, 9000) + ".htm") + ">" +
               Words(Random, 4) + "</a> " + Words(Random, 3) + "\n<div " +
               Attribute(Random, "class", "descr") + ">" + Words(Random, 10) + "</div></td></tr>\n";
    case 10:
        return "<table><tr><td " + Attribute(Random, "class", "dots") + ">&nbsp;</td><td>" +
               Words(Random, 3) + "</td></tr></table>\n";
    default:
        return "<span class=small>" + Words(Random, 5) + "</span>&nbsp;<i>" + Words(Random, 2) + "</i><br>\n";
    }
}

} // namespace Detail

// A page of at least Options.Size bytes.
inline std::string MakePage(const TPageOptions& Options)
{
    using namespace Detail;
    TRandom random(Options.Seed);
    const std::string month = random.Pick(kMonths);
    std::string page =
        "<html>\n<head>\n<title>" + Words(random, 4) +
        "</title>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">\n"
        "<link rel=stylesheet href=\"/css/main.css\">\n</head>\n<body>\n";
    if (Options.ContentZone) {
        page += "<div class=\"content_zone\">\n<img src=\"/images/cover_2007_05.jpg\" alt=\"\" />\n"
                "<h1>" +
                Words(random, 2) + " " + month + " 2007</h1>\n";
    }
    page += "<table><tr><td " + Attribute(random, "class", "block_main_inner") + ">\n<table " +
            Attribute(random, "width", "100%") + ">\n<tr><td><a " + Attribute(random, "class", "t_link_big") +
            " " + Attribute(random, "href", "/issue/2007/05/") + "><b>" + month +
            " 2007</b></a></td></tr>\n<td " + Attribute(random, "class", "block_header_main_inner") + ">\n";
    const std::size_t bodyEnd = Options.Size > 2048 ? Options.Size - 1024 : Options.Size / 2;
    bool comments = false;
    while (page.size() < bodyEnd) {
        if (!comments && page.size() > bodyEnd - bodyEnd / 8) {
            page += "<a " + Attribute(random, "name", "comments") + "></a><span class=title>" +
                    Words(random, 2) + "</span>\n";
            comments = true;
        }
        page += Block(random);
    }
    page += "<div " + Attribute(random, "class", "content") + ">" + Words(random, 5) + "</div>\n";
    if (Options.ReflinkDescr) {
        page += "<div " + Attribute(random, "class", "reflink_descr") + ">" + Words(random, 4) + "</div>\n";
    }
    page += "<td " + Attribute(random, "class", "block_logs") + ">" + Words(random, 3) + "</td>\n";
    page += "<noindex><a href=\"http://counter.example/\">" + Words(random, 2) + "</a></noindex>\n";
    if (Options.ContentZone) {
        page += "</div>\n";
    }
    while (page.size() < Options.Size) {
        page += Paragraph(random);
    }
    return page + "</td></tr></table>\n</body>\n</html>\n";
}

// A contents page of site A with Articles articles: the main block's full-width table with the issue's own
// link, then one row per article with its thumbnail as the background of a cell in its own table (the link
// inside it), the article's link, a link to its comments and a small picture; the banner after the table.
inline std::string MakeContentsPage(std::size_t Articles)
{
    using namespace Detail;
    TRandom random(7);
    std::string page =
        "<html>\n<head>\n<title>Contents</title>\n</head>\n<body>\n<table><tr><td "
        "class=\"block_main_inner\">\n<table width=\"100%\" cellpadding=\"3\">\n"
        "<tr><td colspan=2><a class=\"t_link_big\" href=\"/issue/2007/05/\"><b>Май 2007</b></a>"
        "</td></tr>\n";
    for (std::size_t i = 1; i <= Articles; ++i) {
        const std::string href = "/magazine/2007-05/article-" + std::to_string(i) + ".html";
        page += "<tr><td width=130><table><tr><td background=\"/i/corner.gif\" width=4></td>"
                "<td background=\"/upload/thumbs/" +
                std::to_string(i) + ".jpg\" width=120><a href=\"" + href +
                "\"><img src=\"/i/blank.gif\"></a></td></tr></table></td>\n<td><a " +
                Attribute(random, "class", "t_link_big") + " " + Attribute(random, "href", href) + ">" +
                Words(random, 4) + "</a> <a href=\"" + href + "#comments\">" + Words(random, 1) +
                "</a> <img src=\"/i/new.gif\"><br>\n<span class=t_text>" + Words(random, 12) +
                "</span></td></tr>\n";
    }
    return page + "</table>\n<noindex>banner</noindex>\n</td></tr></table>\n</body>\n</html>\n";
}

// A pathological shape of page content: Head, then Unit over and over, then Tail. Each is legal HTML or
// what browsers read anyway, and each once made some page step take time that grew with the square of
// the page.
struct TShape {
    const char* Name;
    const char* Head;
    const char* Unit;
    const char* Tail;
};

inline const TShape kPathologicalShapes[] = {
    {"rows without </tr>", "", "<tr><td><a href=\"/m/2007/05/a/\">t</a> <div>d</div></td>\n", ""},
    {"nested background cells", "", "<table><tr><td background=\"/b.jpg\">x ", ""},
    {"background cells holding tables", "", "<td background=\"/b.jpg\"><table><tr><td>x</td></tr></table>\n",
     ""},
    {"unclosed tags", "", "<a <img <td <tr ", ""},
    {"open comment", "<!--", " a -- b --! c - ", ""},
    {"script escapes", "<script>", "<!-- <script> x </script> y ", ""},
    {"stray cell ends", "", "</td><p>x</p><img src=\"/p.jpg\">\n", ""},
    {"one long tag", "<img src=\"/p.jpg\"", " data-a=1 b", ">"},
    {"links", "", "<a href=\"/m/2007/05/a/\">a</a><a data-href=\"/x\" href=/y>b</a>\n", ""},
    {"meta tags", "", "<meta name=x content=\"y\"><meta ", ">"},
};

// The content of Shape, at least Size bytes.
inline std::string MakeShape(const TShape& Shape, std::size_t Size)
{
    std::string text = Shape.Head;
    const std::string unit = Shape.Unit;
    text.reserve(Size + unit.size() + 64);
    while (text.size() < Size)
        text += unit;
    return text + Shape.Tail;
}

} // namespace SyntheticPages
