#include "Generic_Parser.h"

#include <algorithm>
#include <array>
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
#include "PictureSources.h"
#include "libs/Auxiliary.h"
#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/RegexpWrapper.h"
#include "libs/strings.h"

namespace {

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
        // A picture tag.
        {"Pages.Image", R"re(<img(?=[\s/>])[^>]*>)re", 0},
        // The picture's extension, without the dot, in any case.
        {"Pages.PictureType", R"re((?<=\.)(?:jpe?g|png|gif|bmp|svg|webp)(?=\W|$))re", regex::NOCASE},
        // A source tag, of a <picture> when it has a srcset.
        {"Pages.Source", R"re(<source(?=[\s/>])[^>]*>)re", 0},
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

/// The place of the next <base> tag of Copy, a reading copy, from From on and the place of its '>' (or the
/// end of Copy); npos when there is none.
std::pair<size_t, size_t> NextBaseTag(const std::string& Copy, size_t From)
{
    for (size_t at = FindText(Copy, From, "<base"); at != std::string::npos;
         at = FindText(Copy, at + 1, "<base")) {
        const char after = at + 5 < Copy.size() ? Copy[at + 5] : '>';
        if (after == ' ' || after == '\t' || after == '\n' || after == '\r' || after == '\f' ||
            after == '/' || after == '>')
            return {at, std::min(Copy.find('>', at), Copy.size())};
    }
    return {std::string::npos, std::string::npos};
}

} // namespace

std::string BaseAddress(const THtmlPage& Page, const std::string& PageUrl)
{
    const std::string& copy = Page.Copy();
    for (auto tag = NextBaseTag(copy, 0); tag.first != std::string::npos;
         tag = NextBaseTag(copy, tag.second)) {
        bool found = false;
        std::string_view href;
        ForEachAttribute(copy, tag.first, tag.second, [&](const TTagAttribute& Attribute) {
            if (!found && Attribute.Name == "href") {
                found = true;
                href = std::string_view(Page.Text())
                           .substr(Attribute.ValueBegin, Attribute.ValueEnd - Attribute.ValueBegin);
            }
        });
        if (!found)
            continue;
        std::string base;
        const BrintLib::TPageUrl page(PageUrl);
        return page.Resolve(DecodeCharacterReferences(href), base) ? base : PageUrl;
    }
    return PageUrl;
}

void DropBaseTags(THtmlPage& Page)
{
    const std::string& copy = Page.Copy();
    auto tag = NextBaseTag(copy, 0);
    if (tag.first == std::string::npos)
        return;
    THtmlPage output;
    output.Reserve(copy.size());
    size_t position = 0;
    for (; tag.first != std::string::npos; tag = NextBaseTag(copy, tag.second)) {
        output.Append(Page, position, tag.first);
        position = std::min(tag.second + 1, copy.size());
    }
    output.Append(Page, position, copy.size());
    Page.Swap(output);
}

void DropBaseTags(std::string& Text)
{
    THtmlPage page(std::move(Text));
    DropBaseTags(page);
    Text = page.TakeText();
}

namespace {

/// The origin of an absolute address: its scheme, "://", and its authority (user, host, port); empty when
/// Url is not absolute.
std::string_view Origin(std::string_view Url)
{
    const size_t scheme = Url.find("://");
    if (scheme == std::string_view::npos)
        return std::string_view();
    return Url.substr(0, std::min(Url.find_first_of("/?#", scheme + 3), Url.size()));
}

/// Url over the other of http and https; empty when it is over neither.
std::string OverOtherScheme(std::string_view Url)
{
    const std::string_view http = "http://";
    const std::string_view https = "https://";
    if (Url.substr(0, http.size()) == http)
        return std::string(https).append(Url.substr(http.size()));
    if (Url.substr(0, https.size()) == https)
        return std::string(http).append(Url.substr(https.size()));
    return std::string();
}

/// The local file of the article at Url in Files, or null when Url is no article's. An address over http
/// and over https is the same article: a site that serves both serves the same page. So are an address on
/// the origin Moved and the same on Own: the page that links to it moved from Moved to Own (both empty when
/// it did not).
const std::string* FindArticle(const TLocalFiles& Files, std::string_view Url, std::string_view Moved,
                               std::string_view Own)
{
    const std::string other = OverOtherScheme(Url);
    for (const std::string_view address : {Url, std::string_view(other)}) {
        if (address.empty())
            continue;
        if (const auto article = Files.find(address); article != Files.end())
            return &article->second;
        for (const auto& [from, to] : {std::pair(Own, Moved), std::pair(Moved, Own)}) {
            if (from.empty() || Origin(address) != from)
                continue;
            const std::string there = std::string(to).append(address.substr(from.size()));
            for (const std::string& candidate : {there, OverOtherScheme(there)}) {
                if (const auto article = Files.find(candidate); article != Files.end())
                    return &article->second;
            }
        }
    }
    return nullptr;
}

} // namespace

void RenameLinks(const std::string& Text, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 std::string& Result, const std::string& MovedFrom)
{
    FATAL_CHECK(&Result != &Text);
    THtmlPage renamed;
    RenameLinks(THtmlPage(Text), PageUrl, Files, renamed, MovedFrom);
    Result = renamed.TakeText();
}

void RenameLinks(const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 THtmlPage& Result, const std::string& MovedFrom)
{
    // The origins of the page and of where it was asked for, when they differ: the same site.
    std::string moved, own;
    if (!MovedFrom.empty()) {
        std::string asked;
        const std::string_view here = PageUrl.Resolve(std::string_view());
        if (BrintLib::TPageUrl(MovedFrom).Resolve(std::string(), asked) && Origin(asked) != Origin(here)) {
            moved = Origin(asked);
            own = Origin(here);
        }
    }
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
                found->second = FindArticle(Files, url, moved, own);
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

/// What a picture's tag tells of the picture shown: the first value of each of kPictureAddressAttributes and
/// of srcset, as written (views into the page).
class TPictureAttributes {
  public:
    static constexpr size_t kSrcset = kPictureAddressAttributes.size();

    /// Reads the tag of Page from the '<' at Open to the '>' at Close.
    TPictureAttributes(const THtmlPage& Page, size_t Open, size_t Close)
    {
        const std::string_view text(Page.Text());
        ForEachAttribute(Page.Copy(), Open, Close, [&](const TTagAttribute& Attribute) {
            for (size_t k = 0; k <= kSrcset; ++k) {
                const std::string_view name = k < kSrcset ? kPictureAddressAttributes[k] : "srcset";
                if (!m_Seen[k] && Attribute.Name == name) {
                    m_Seen[k] = true;
                    m_Values[k] =
                        text.substr(Attribute.ValueBegin, Attribute.ValueEnd - Attribute.ValueBegin);
                }
            }
        });
    }

    bool HasSrcset() const { return m_Seen[kSrcset]; }

    /// The address of the picture that an <img> with these attributes shows: the first present and non-empty
    /// one of kPictureAddressAttributes, else the widest candidate of its srcset. Empty when there is none.
    std::string_view Source() const
    {
        for (size_t k = 0; k < kSrcset; ++k) {
            // A value of blanks alone is no address either.
            if (m_Values[k].find_first_not_of(" \t\n\r\f") != std::string_view::npos)
                return m_Values[k];
        }
        return WidestCandidate(m_Values[kSrcset]);
    }

  private:
    std::array<std::string_view, kSrcset + 1> m_Values;
    std::array<bool, kSrcset + 1> m_Seen{};
};

/// ProcessImages into Output, an object of its own, up to the last picture tag: returns where the rest of
/// the page begins that it leaves for the caller to append, 0 when the page has no picture tag.
template <class TOutput>
size_t LocalisePictures(const std::string& Dir, const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                        const std::string& PageName, TOutput& Output)
{
    static TRegexp findImages = Compile(PageServicePatterns()[1]);
    static TRegexp pictureType = Compile(PageServicePatterns()[2]);
    static TRegexp findSources = Compile(PageServicePatterns()[3]);

    const std::string pathPrefix = Dir + PageName + BrintLib::kPathSeparator;
    if (const unsigned error = BrintLib::CreateFullPath(pathPrefix)) {
        StopIfExhausted(static_cast<int>(error), pathPrefix);
        APL_THROW("Ошибка при создании каталога " << pathPrefix << ": "
                                                  << BrintLib::GetErrorDescription(static_cast<int>(error)));
    }

    bool reserved = false;
    // Source as written, where it stands in the page -> PageName/NN.ext.
    std::pmr::monotonic_buffer_resource memory;
    std::pmr::unordered_map<std::string_view, std::string> localNames(&memory);
    unsigned count = 0;
    // The pictures and the source tags are found in the reading copy, each with a scanner of its own, and
    // taken in page order; their sources are the page's.
    const std::string& copy = Page.Copy();
    TRegexpScanner images(copy);
    TRegexpScanner sources(copy);
    // The next tag each scanner found: its '<' and the end of its '>', npos when there is none.
    const auto next = [](TRegexpScanner& Scanner, TRegexp& Pattern, const std::string& Copy) {
        return Scanner.Find(Pattern) ? std::pair(static_cast<size_t>(Pattern[0].first - Copy.cbegin()),
                                                 static_cast<size_t>(Pattern[0].second - Copy.cbegin()))
                                     : std::pair(std::string::npos, std::string::npos);
    };
    std::pair<size_t, size_t> image = next(images, findImages, copy);
    std::pair<size_t, size_t> source = next(sources, findSources, copy);
    size_t previous = 0; // where the text not yet written begins
    while (image.first != std::string::npos || source.first != std::string::npos) {
        const bool isImage = image.first < source.first;
        const auto [open, end] = isImage ? image : source;
        if (isImage)
            image = next(images, findImages, copy);
        else
            source = next(sources, findSources, copy);
        if (!reserved) {
            // A local name may be longer than the source it replaces.
            ReserveOutput(Output, OutputSize(Output) + Page.Text().size() + Page.Text().size() / 8);
            reserved = true;
        }
        AppendPart(Output, Page, copy.cbegin() + static_cast<std::ptrdiff_t>(previous),
                   copy.cbegin() + static_cast<std::ptrdiff_t>(open));
        previous = end;
        const TPictureAttributes attributes(Page, open, end - 1);
        const std::string_view address = isImage ? attributes.Source() : std::string_view();
        if (address.empty()) {
            // The <source> of a <picture> is dropped, so that a browser shows the <img>'s local file; an
            // <img> without an address, and the <source> of a video, stay as they are.
            if (isImage || !attributes.HasSrcset())
                AppendPart(Output, Page, copy.cbegin() + static_cast<std::ptrdiff_t>(open),
                           copy.cbegin() + static_cast<std::ptrdiff_t>(end));
            continue;
        }
        auto known = localNames.find(address);
        if (known == localNames.end()) {
            const std::string_view tag = std::string_view(Page.Text()).substr(open, end - open);
            // The address as a browser reads it: its character references decoded first.
            const std::string decoded = address.find('&') == std::string_view::npos
                                            ? std::string(address)
                                            : DecodeCharacterReferences(address);
            // The type follows a dot: it is looked for from the first one on, which the look-behind sees.
            const TTextIterator dot = std::find(decoded.begin(), decoded.end(), '.');
            if (dot == decoded.end() || !pictureType.Find(dot, decoded.end())) {
                LogError(pathPrefix + " Не опознанный тип изображения: " + Excerpt(tag, "") + "\n");
                continue;
            }
            const std::string extension = LowerCaseCp1251(pictureType[0].str());
            const std::string_view url = PageUrl.Resolve(decoded);
            if (url.empty()) {
                LogError(pathPrefix + " Неверный адрес изображения: " + Excerpt(tag, "") + "\n");
                continue;
            }
            std::string fileName = AtLeastTwoDigits(++count);
            fileName += '.';
            fileName += extension;
            known = localNames.emplace(address, Concatenation({PageName, "/", fileName})).first;
            g_TaskQueue.Push(
                std::make_unique<TDownloadFile>(std::string(url), Concatenation({pathPrefix, fileName})));
        }
        AppendMarkup(Output, "<img src=\"");
        AppendMarkup(Output, known->second);
        AppendMarkup(Output, "\">");
    }
    return previous;
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
