#include "Generic_Parser.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <memory>
#include <memory_resource>
#include <string_view>

#include "ErrorLog.h"
#include "HtmlTags.h"
#include "Logic.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/RegexpWrapper.h"
#include "libs/strings.h"

namespace {

/// The month words, full names then abbreviations; word k stands for month k % 12 + 1.
const char* const kMonthWords[24] = {
    "январь",   "февраль", "март",   "апрель",  "май", "июнь", "июль", "август",
    "сентябрь", "октябрь", "ноябрь", "декабрь", "янв", "фев",  "мар",  "апр",
    "май",      "июн",     "июл",    "авг",     "сен", "окт",  "ноя",  "дек",
};

struct TSpecialIssue {
    const char* Word;
    const char* Code;
};

/// Issues named by a word instead of a month; consulted only when no month word matches.
const TSpecialIssue kSpecialIssues[2] = {{"судьбы", "lis"}, {"путеводитель", "pvl"}};

const char kUnknownMonth[] = "unkn";

/// The address of the program's home page and its authors, as the banner shows them.
const char kHomePage[] = "https://skerrow.example.org/";
const char kAuthorLine[] = "Skerrow developers &lt;skerrow@example.org&gt;";

/// The windows-1251 lower case of one byte: the ASCII letters, А-Я, Ё and the other Cyrillic capitals of
/// the code page (Serbian, Macedonian, Ukrainian and Belarusian letters).
unsigned char LowerCp1251(unsigned char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF)) // А-Я
        return static_cast<unsigned char>(c + 0x20);
    switch (c) {
    case 0x80:
        return 0x90; // Ђ
    case 0x81:
        return 0x83; // Ѓ
    case 0x8A:
        return 0x9A; // Љ
    case 0x8C:
        return 0x9C; // Њ
    case 0x8D:
        return 0x9D; // Ќ
    case 0x8E:
        return 0x9E; // Ћ
    case 0x8F:
        return 0x9F; // Џ
    case 0xA1:
        return 0xA2; // Ў
    case 0xA3:
        return 0xBC; // Ј
    case 0xA5:
        return 0xB4; // Ґ
    case 0xA8:
        return 0xB8; // Ё
    case 0xAA:
        return 0xBA; // Є
    case 0xAF:
        return 0xBF; // Ї
    case 0xB2:
        return 0xB3; // І
    case 0xBD:
        return 0xBE; // Ѕ
    default:
        return c;
    }
}

/// Reads a whole year text: blanks and tabs, an optional sign, then decimal digits up to the very end.
bool ParseYear(const std::string& Text, long long& Year)
{
    size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+')) {
        negative = Text[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    long long value = 0;
    for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9'; ++i) {
        value = value * 10 + (Text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (i == firstDigit || i != Text.size())
        return false;
    Year = negative ? -value : value;
    return Year >= INT_MIN && Year <= INT_MAX;
}

/// The texts of Parts one after the other, made with one allocation.
std::string Concatenation(std::initializer_list<std::string_view> Parts)
{
    size_t size = 0;
    for (const std::string_view part : Parts)
        size += part.size();
    std::string text;
    text.reserve(size);
    for (const std::string_view part : Parts)
        text += part;
    return text;
}

} // namespace

const TPagePatterns& PageServicePatterns()
{
    static const TPagePatterns table = {
        // A link tag and its href value (group 1); an attribute that merely ends in "href" is not it, and
        // a bare value may stand after blanks, as it may in a browser.
        {"Pages.Link",
         R"re(<a\s[^>]*?(?<![\w-])href\s*(?:=\s*"|=\s*'|=\s*))re"
         R"re(((?:(?<=\s*")[^"]+(?="))|(?:(?<=\s*')[^']+(?='))|(?:(?<=[=\s])[^\s>"']+(?=[\s>])))[^>]*>)re",
         0},
        // A picture tag and its source address without its quotes (group 1).
        {"Pages.Image", "<img[^>]*?" + AttributeValue("src") + "[^>]*>", 0},
        // The picture's extension, without the dot, in any case.
        {"Pages.PictureType", R"re((?<=\.)(?:jpe?g|png|gif|bmp|svg|webp)(?=\W|$))re", regex::NOCASE},
    };
    return table;
}

std::string LowerCaseCp1251(std::string Text)
{
    for (char& c : Text)
        c = static_cast<char>(LowerCp1251(static_cast<unsigned char>(c)));
    return Text;
}

std::string AtLeastTwoDigits(size_t Number)
{
    std::string digits = std::to_string(Number);
    if (digits.size() < 2)
        digits.insert(digits.begin(), '0');
    return digits;
}

std::string MakePageName(const std::string& IssueName, size_t Index)
{
    return IssueName + "_" + AtLeastTwoDigits(Index);
}

std::string MonthCode(const std::string& Word)
{
    const std::string lower = LowerCaseCp1251(Word);

    for (size_t k = 0; k < 24; ++k) {
        if (lower == kMonthWords[k]) {
            return AtLeastTwoDigits(k % 12 + 1);
        }
    }
    for (const TSpecialIssue& special : kSpecialIssues) {
        if (lower == special.Word)
            return special.Code;
    }
    return kUnknownMonth;
}

std::string MakeIssueName(const std::string& YearText, const std::string& MonthWord)
{
    long long year = 0;
    if (!ParseYear(YearText, year))
        APL_THROW("Неизвестный год: " << YearText);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%s%04lld", year < 0 ? "-" : "", year < 0 ? -year : year);
    return std::string(digits) + "_" + MonthCode(MonthWord);
}

std::string ClassicTimeText(const std::tm& Time)
{
    static const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    FATAL_CHECK(Time.tm_wday >= 0 && Time.tm_wday < 7);
    FATAL_CHECK(Time.tm_mon >= 0 && Time.tm_mon < 12);
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", kDays[Time.tm_wday],
                  kMonths[Time.tm_mon], Time.tm_mday, Time.tm_hour, Time.tm_min, Time.tm_sec,
                  Time.tm_year + 1900);
    return text;
}

std::string MakeNavigationBar(const TPageList& Pages, size_t Index, const std::tm& Now)
{
    if (Index >= Pages.size())
        APL_THROW("Problem with index: " << Index);

    std::string bar = "<hr><table><tr>";
    if (Index > 0) {
        bar += "<td><a href=\"" + Pages[Index - 1] + "\">[&lt;&lt;&lt;&lt;]</a></td>";
        bar += "<td width=100% align=center><a href=\"" + Pages[0] + "\">[Оглавление]</a></td>";
    }
    if (Index + 1 < Pages.size())
        bar += "<td><a href=\"" + Pages[Index + 1] + "\">[&gt;&gt;&gt;&gt;]</a></td>";
    bar += "</tr>";
    bar += "<tr><td colspan=3 align=right><font color=gray size=1>Generated on ";
    bar += ClassicTimeText(Now);
    bar += " with <a href=\"";
    bar += kHomePage;
    bar += "\">Skerrow</a><br>";
    bar += kAuthorLine;
    bar += "</font></td></tr>";
    bar += "</table><hr>";
    return bar;
}

std::string MakeNavigationBar(const TPageList& Pages, size_t Index)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    FATAL_CHECK(localtime_r(&now, &local) != nullptr);
    return MakeNavigationBar(Pages, Index, local);
}

std::string MakeNavigationBar(const TSharedPageList& Pages, size_t Index)
{
    FATAL_CHECK(BrintLib::TestPtr__(Pages.get()));
    return MakeNavigationBar(*Pages, Index);
}

void StripTags(std::string& Out, std::string::const_iterator First, std::string::const_iterator Last)
{
    while (First != Last) {
        std::string::const_iterator tag = std::find(First, Last, '<');
        AppendRange(Out, First, tag);
        if (tag == Last)
            return;
        First = std::find(tag, Last, '>');
        if (First == Last)
            return;
        ++First;
    }
}

std::string_view ResolveValue(const BrintLib::TPageUrl& PageUrl, std::string_view Value)
{
    // Most values hold no character reference: they are resolved where they stand.
    if (Value.find('&') == std::string_view::npos)
        return PageUrl.Resolve(Value);
    return PageUrl.Resolve(DecodeCharacterReferences(Value));
}

size_t FragmentStart(std::string_view Value)
{
    for (size_t at = Value.find('#'); at != std::string_view::npos; at = Value.find('#', at + 1)) {
        if (at == 0 || Value[at - 1] != '&')
            return at;
    }
    return std::string_view::npos;
}

namespace {

/// The local file of the article at Url in Files, or null when Url is no article's. An address over http
/// and over https is the same article: a site that serves both serves the same page.
const std::string* FindArticle(const TLocalFiles& Files, std::string_view Url)
{
    auto article = Files.find(Url);
    if (article == Files.end()) {
        const std::string_view http = "http://";
        const std::string_view https = "https://";
        std::string other;
        if (Url.substr(0, http.size()) == http)
            other = std::string(https).append(Url.substr(http.size()));
        else if (Url.substr(0, https.size()) == https)
            other = std::string(http).append(Url.substr(https.size()));
        if (!other.empty())
            article = Files.find(other);
    }
    return article == Files.end() ? nullptr : &article->second;
}

} // namespace

void RenameLinks(const std::string& Text, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 std::string& Result)
{
    FATAL_CHECK(&Result != &Text);
    THtmlPage renamed;
    RenameLinks(THtmlPage(Text), PageUrl, Files, renamed);
    Result = renamed.TakeText();
}

void RenameLinks(const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 THtmlPage& Result)
{
    static TRegexp link = Compile(PageServicePatterns()[0]);
    FATAL_CHECK(&Result != &Page);
    Result = THtmlPage();
    Result.Reserve(Page.Text().size());
    // Each value is resolved once: the local file it becomes, or null when it is no article's. The values
    // are read where they stand in the page; one without character references is known without its
    // fragment ("2#comments" is "2"), which its address leaves out.
    // A page has thousands of links: the entries are taken from one buffer, given back at once.
    std::pmr::monotonic_buffer_resource memory;
    std::pmr::unordered_map<std::string_view, const std::string*> known(&memory);
    // The links are found in the reading copy.
    TRegexpScanner scanner(Page.Copy());
    size_t previous = 0;
    while (scanner.Find(link)) {
        const std::string_view value = Page.TextOf(link[1].first, link[1].second);
        const size_t fragment = FragmentStart(value);
        const auto [found, added] = known.try_emplace(
            value.find('&') == std::string_view::npos ? value.substr(0, fragment) : value, nullptr);
        if (added) {
            if (const std::string_view url = ResolveValue(PageUrl, found->first); !url.empty())
                found->second = FindArticle(Files, url);
        }
        if (found->second == nullptr)
            continue;
        const size_t valueBegin = Page.Offset(link[1].first);
        const size_t valueEnd = Page.Offset(link[1].second);
        Result.Append(Page, previous, valueBegin);
        Result.AppendMarkup(*found->second);
        if (fragment != std::string_view::npos)
            Result.Append(Page, valueBegin + fragment, valueEnd);
        previous = valueEnd;
    }
    Result.Append(Page, previous, Page.Text().size());
}

void LogBadArticleAddress(const std::string& Page, const std::string& Link)
{
    LogError(Page + " Неверный адрес статьи: " + Excerpt(Link, "") + "\n");
}

namespace {

/// What a rewriting pass writes: a page with its reading copy, or a text alone when no pass reads it after.
void AppendPart(THtmlPage& Output, const THtmlPage& Page, TTextIterator First, TTextIterator Last)
{
    Output.Append(Page, First, Last);
}
void AppendPart(std::string& Output, const THtmlPage& Page, TTextIterator First, TTextIterator Last)
{
    Output += Page.TextOf(First, Last);
}
void AppendMarkup(THtmlPage& Output, std::string_view Markup)
{
    Output.AppendMarkup(Markup);
}
void AppendMarkup(std::string& Output, std::string_view Markup)
{
    Output += Markup;
}
void ReserveOutput(THtmlPage& Output, size_t Size)
{
    Output.Reserve(Size);
}
size_t OutputSize(const THtmlPage& Output)
{
    return Output.Text().size();
}
size_t OutputSize(const std::string& Output)
{
    return Output.size();
}
void ReserveOutput(std::string& Output, size_t Size)
{
    Output.reserve(Size);
}

/// ProcessImages into Output, an object of its own, up to the last picture tag: returns where the rest of
/// the page begins that it leaves for the caller to append, 0 when the page has no picture tag.
template <class TOutput>
size_t LocalisePictures(const std::string& Dir, const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                        const std::string& PageName, TOutput& Output)
{
    static TRegexp findImages = Compile(PageServicePatterns()[1]);
    static TRegexp pictureType = Compile(PageServicePatterns()[2]);

    const std::string pathPrefix = Dir + PageName + BrintLib::kPathSeparator;
    if (const unsigned error = BrintLib::CreateFullPath(pathPrefix))
        APL_THROW("Ошибка при создании каталога " << pathPrefix << ": "
                                                  << BrintLib::GetErrorDescription(static_cast<int>(error)));

    bool reserved = false;
    // Source as written, where it stands in the page -> PageName/NN.ext.
    std::pmr::monotonic_buffer_resource memory;
    std::pmr::unordered_map<std::string_view, std::string> localNames(&memory);
    unsigned count = 0;
    // The pictures are found in the reading copy; their sources are the page's.
    TRegexpScanner scanner(Page.Copy());
    while (scanner.Find(findImages)) {
        if (!reserved) {
            // A local name may be longer than the source it replaces.
            ReserveOutput(Output, OutputSize(Output) + Page.Text().size() + Page.Text().size() / 8);
            reserved = true;
        }
        AppendPart(Output, Page, scanner.Previous(), findImages[0].first);
        const std::string_view source = Page.TextOf(findImages[1].first, findImages[1].second);
        auto known = localNames.find(source);
        if (known == localNames.end()) {
            const std::string_view tag = Page.TextOf(findImages[0].first, findImages[0].second);
            const TTextIterator sourceBegin = Page.InText(findImages[1].first);
            const TTextIterator sourceEnd = Page.InText(findImages[1].second);
            // The type follows a dot: it is looked for from the first one on, which the look-behind sees.
            const TTextIterator dot = std::find(sourceBegin, sourceEnd, '.');
            if (dot == sourceEnd || !pictureType.Find(dot, sourceEnd)) {
                LogError(pathPrefix + " Не опознанный тип изображения: " + Excerpt(tag, "") + "\n");
                continue;
            }
            const std::string_view url = ResolveValue(PageUrl, source);
            if (url.empty()) {
                LogError(pathPrefix + " Неверный адрес изображения: " + Excerpt(tag, "") + "\n");
                continue;
            }
            std::string fileName = AtLeastTwoDigits(++count);
            fileName += '.';
            fileName += LowerCaseCp1251(pictureType[0].str());
            known = localNames.emplace(source, Concatenation({PageName, "/", fileName})).first;
            g_TaskQueue.Push(
                std::make_unique<TDownloadFile>(std::string(url), Concatenation({pathPrefix, fileName})));
        }
        AppendMarkup(Output, "<img src=\"");
        AppendMarkup(Output, known->second);
        AppendMarkup(Output, "\">");
    }
    return Page.Offset(scanner.Previous());
}

} // namespace

void ProcessImages(const std::string& Dir, std::string& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName)
{
    std::string output;
    ProcessImages(Dir, THtmlPage(Page), PageUrl, PageName, output);
    Page.swap(output);
}

void ProcessImages(const std::string& Dir, THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName)
{
    THtmlPage output;
    const size_t rest = LocalisePictures(Dir, Page, PageUrl, PageName, output);
    // A page without pictures stays as it is, uncopied.
    if (rest == 0)
        return;
    output.Append(Page, rest, Page.Text().size());
    Page.Swap(output);
}

void ProcessImages(const std::string& Dir, const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName, std::string& Output)
{
    FATAL_CHECK(&Output != &Page.Text());
    const size_t rest = LocalisePictures(Dir, Page, PageUrl, PageName, Output);
    Output.append(Page.Text(), rest, std::string::npos);
}
