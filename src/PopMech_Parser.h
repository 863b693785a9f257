// Site A ("Популярная механика", hosts mag-a.test and mag-a-archive.test): recognition of its URLs, the
// processing of an issue's contents page and article pages, and the rewriting of the two picture shapes
// of its pages (a picture as a cell's background, a picture wrapped in a link to a picture file) into
// plain <img> tags.
//
// Tags are read as a browser reads them: the patterns are searched in a page's reading copy (HtmlTags.h).
// The page processors themselves are private to the module; they are reached through ProcessUrl, which
// queues the contents page's task. The helpers below are public so that they can be checked on their own.
// Every text is windows-1251 bytes.
#pragma once

#include <string>

#include "HtmlTags.h"
#include "PagePattern.h"

namespace PopMech {

/// The site handler: when Url belongs to this site, pushes the task of the contents page onto
/// g_TaskQueue (its pages will be saved below SavePath) and returns true; otherwise returns false and
/// queues nothing. Raises what RecogniseUrl raises.
bool ProcessUrl(const std::string& Url, const std::string& SavePath);

/// The site's page patterns, in the order the module uses them ("A.MainBlock", ...).
const TPagePatterns& Patterns();

/// Decides whether Url is this site's. Only the text up to the first slash (after an optional "http://" or
/// "https://", in lower case as the driver hands URLs over) is looked at: it must contain one of the site's
/// host names, in lower case. On success SiteRoot receives the start of
/// Url up to and including that slash ("http://mag-a.test/"). Raises the search error
/// (BrintLib::TAplThrowException "Ошибка при поиске шаблона: ...") when Url has no slash at all.
bool RecogniseUrl(const std::string& Url, std::string& SiteRoot);

/// Keeps of an article page its article's own block alone: from the cell that opens it up to where that cell
/// ends before the logs cell, with everything a browser shows in between (text after a stray </td> included).
/// Raises the search error for a page without the two cells.
void KeepArticleBlock(THtmlPage& Page);

/// Rewrites every table cell that shows a picture as its background and holds a link ("<a " tag, directly
/// or in a table nested in the cell): the whole cell, from its tag to its </td> (or to where it ends
/// without one), becomes <td>, the first such link tag, <img src="BACKGROUND">, </a></td>. What else the
/// cell shows is kept, in its order, as AppendShown keeps it: before the link what stood before it, inside
/// it what the link showed but its first picture (the placeholder the background shows through), after it
/// what followed; the cell's markup is not. Nothing outside the cell changes, so its table keeps its rows
/// and closing tags. A cell without a link stays as it was.
/// Raises only the search error of a search that runs out of the engine's backtracking budget.
void ReplaceBackgroundCells(std::string& Text);
/// The same over a page with its reading copy, kept in step.
void ReplaceBackgroundCells(THtmlPage& Page);

/// Replaces every link whose only content is a picture and whose target names a picture file (jpg, jpeg,
/// png, gif, bmp, svg or webp, in any case; directly, or after the last '?' of a script address) by
/// <img src="TARGET'S PICTURE">; links to anything else stay as they are. Raises only the search error of
/// a search that runs out of the engine's backtracking budget.
void FlattenImageLinks(std::string& Text);
/// The same over a page with its reading copy, kept in step.
void FlattenImageLinks(THtmlPage& Page);

/// Cuts the reader comments off an article: when the text has a comments anchor (<a name="comments">
/// with the text up to the next </span> on its line) followed somewhere by <noindex>, the text ends after
/// the last "dots" cell's table that lies wholly between the two, or right after the anchor's </span>
/// when there is none. Otherwise the text is left unchanged. Raises only the search error of a search that
/// runs out of the engine's backtracking budget.
void CutComments(std::string& Text);
/// The same over a page with its reading copy, kept in step.
void CutComments(THtmlPage& Page);

} // namespace PopMech
