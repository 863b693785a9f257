// Page-processing services shared by the site modules: naming an issue from its year and month, the
// navigation bar with footer that closes every page of an issue with a page list, plain text of an HTML
// fragment, the renaming of links to an issue's articles, and the localisation of a page's pictures.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "HtmlTags.h"
#include "IssueNames.h"
#include "PagePattern.h"
#include "libs/Url.h"

/// The local page files of one issue, relative to the issue directory: entry 0 is the contents page,
/// entry N the page with index N. Entries are set with StoreAt, so an index never set reads "error_page".
using TPageList = std::vector<std::string>;
/// The page list of an issue is one object shared by the title-page processor that creates it and every
/// article processor that receives it; it is freed when its last holder lets it go.
using TSharedPageList = std::shared_ptr<TPageList>;

/// Text with every capital letter of windows-1251 lowered: A-Z, А-Я, Ё and the other Cyrillic capitals
/// of the code page; every other byte stays as it is.
std::string LowerCaseCp1251(std::string Text);

/// Number written with at least two digits, zero-padded: 01, 02, ..., 99, 100.
std::string AtLeastTwoDigits(size_t Number);

/// The page services' own patterns: "Pages.Link" (RenameLinks), "Pages.Image", "Pages.PictureType" and
/// "Pages.Source" (ProcessImages), in that order.
const TPagePatterns& PageServicePatterns();

/// Where the fragment of an attribute value as written begins: at its first '#' that does not open a
/// numeric character reference ("&#38;"); npos when it has none.
size_t FragmentStart(std::string_view Value);

/// The block that closes the page with index Index: a table whose first row holds links to the previous
/// page, the contents page and the next page, and whose second row holds a footer with the generation
/// time Now (local time) and the program's home page; every row and table closed once. Raises
/// BrintLib::TAplThrowException "Problem with index: " + Index when Index is not below Pages.size().
std::string MakeNavigationBar(const TPageList& Pages, size_t Index, const std::tm& Now);
/// The same, generated now (local clock).
std::string MakeNavigationBar(const TPageList& Pages, size_t Index);
/// The same for a shared page list; Pages must not be empty-handed (fatal check).
std::string MakeNavigationBar(const TSharedPageList& Pages, size_t Index);

/// Time in the C library's classic form, "Www Mmm DD HH:MM:SS YYYY\n", English names, every field
/// zero-padded (the day of month too).
std::string ClassicTimeText(const std::tm& Time);

/// Appends the text of [First, Last) to Out, leaving out every tag: from each '<' up to and including the
/// next '>'. A '<' without a '>' after it within the range drops the rest of the range. Entities and white
/// space are copied as they stand.
void StripTags(std::string& Out, std::string::const_iterator First, std::string::const_iterator Last);

/// The local page files of an issue's articles (relative to the issue directory), keyed by the article's
/// address as TPageUrl::Resolve gives it (no fragment): a text that outlives the map, such as the one the
/// TPageUrl keeps.
using TLocalFiles = std::unordered_map<std::string_view, std::string>;

/// The address that an attribute value Value (quotes taken off) names on the page of PageUrl: its character
/// references decoded (DecodeCharacterReferences) and the text resolved (TPageUrl::Resolve). Empty when it
/// cannot be resolved; otherwise the text belongs to PageUrl.
std::string_view ResolveValue(const BrintLib::TPageUrl& PageUrl, std::string_view Value);

/// The address against which the addresses written in Page are resolved, as a browser resolves them: the
/// href of Page's first <base> tag that has one, resolved against PageUrl (where the page came from);
/// PageUrl itself when there is none, or when it cannot be resolved.
std::string BaseAddress(const THtmlPage& Page, const std::string& PageUrl);

/// Removes every <base> tag from Page: a saved page's local addresses must not lead back to the web.
void DropBaseTags(THtmlPage& Page);
/// The same over a text.
void DropBaseTags(std::string& Text);

/// Writes into Result the text of Text in which the href value of every <a tag (read as a browser reads
/// tags, see ReadingCopy) whose address, resolved against PageUrl, is a key of Files (or is one but for
/// http in place of https, or the other way round: the same page) is replaced by that key's local file,
/// followed by the value's
/// #fragment as written when it has one ("2007_05_01.htm#comments"); the value's quotes stay as they
/// were. Nothing else changes: other attributes, other tags, text. One pass over Text. Result must be an
/// object of its own (fatal check). MovedFrom is the address the page was asked for when a redirect brought
/// it from there (empty otherwise): an address on that origin (scheme, host and port) and the same on the
/// page's own are the same page.
void RenameLinks(const std::string& Text, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 std::string& Result, const std::string& MovedFrom = std::string());
/// The same over a page with its reading copy, Result's copy kept in step.
void RenameLinks(const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl, const TLocalFiles& Files,
                 THtmlPage& Result, const std::string& MovedFrom = std::string());

/// Logs (LogError) that the article link Link, on the page saved as Page, has an address that cannot be
/// resolved: the article is not fetched.
void LogBadArticleAddress(const std::string& Page, const std::string& Link);

/// Makes every picture of one page available offline. Every <img> tag (names in any case; read as a browser
/// reads tags, see ReadingCopy) that names a source, the address a browser ends up showing (the first
/// present and non-empty of kPictureAddressAttributes, else the widest candidate of its srcset: see
/// PictureSources.h), is replaced by <img src="PageName/NN.ext">, where NN counts the page's distinct
/// sources from 01 in order of first appearance and ext is the first of jpg, jpeg, png, gif, bmp, svg, webp,
/// in any case, that follows a dot in the source (its character references decoded), written in lower
/// case; one TDownloadFile per distinct source is pushed onto g_TaskQueue, saving Dir + PageName + "/" +
/// NN.ext from the source resolved against PageUrl (see TPageUrl::Resolve). A tag whose source has none of
/// these types, or whose address cannot be resolved, is dropped from the page and reported with LogError; an
/// <img> without a source stays as it is. A <source> tag with a srcset (a <picture>'s) is dropped, so that a
/// browser shows the <img>'s local file. Dir is the issue directory, ending with the path separator.
///
/// Creates the page's picture directory Dir + PageName + "/" first, even for a page without pictures;
/// raises BrintLib::TAplThrowException naming the directory and the system's error text when it cannot,
/// leaving Page unchanged and queuing nothing.
void ProcessImages(const std::string& Dir, std::string& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName);
/// The same over a page with its reading copy, kept in step.
void ProcessImages(const std::string& Dir, THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName);
/// The same over a page with its reading copy, appending the text alone to Output (an object of its own,
/// fatal check), for a page that no pass reads after; Page is unchanged.
void ProcessImages(const std::string& Dir, const THtmlPage& Page, const BrintLib::TPageUrl& PageUrl,
                   const std::string& PageName, std::string& Output);
