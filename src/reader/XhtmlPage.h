// A saved page turned into a page of the book: XHTML in UTF-8, valid as EPUB 3 content. Obsolete
// presentational markup is mapped (center, font, strike, tt, align, valign) or dropped, markup that the
// content model does not allow where it stands is repaired, links between the issue's pages lead to
// the book's pages, pictures to the book's pictures, and outside links are made absolute.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reader/IssuePages.h"

namespace BrintLib {
class TPageUrl;
}

/// What the pages of a book may refer to.
struct TBookMap {
    std::string IssueName;
    std::string Language = "ru"; ///< of every page, as BCP 47 writes it
    /// Outside addresses are resolved against it (the contents page's address); null: they are dropped.
    const BrintLib::TPageUrl* Base = nullptr;
    std::map<size_t, std::set<std::string>> Ids; ///< page index in the book -> the ids its page keeps
    std::map<std::string, std::string> Pictures; ///< a picture file of the issue -> its file in the book
};

/// A link of a book's page to an id of another page, whose ids were not all known when it was converted.
struct TPendingFragment {
    size_t At = 0;        ///< where in the page "#id" goes, if the target page keeps the id
    size_t Page = 0;      ///< the target page's index in the book
    std::string Fragment; ///< the id
};

/// The ids (id attributes, and the names of <a name>) that the page keeps in the book.
std::set<std::string> PageIds(const TParsedPage& Page);

/// The book's page of the saved page Index: Title its title, Preface XHTML put first in its body. The
/// pictures of the issue that the page shows but the book lacks are added to Missing. Map.Ids names every
/// page of the book. With Pending null, their ids are all known, and a link to an id of a page leads there
/// when that page keeps the id. Otherwise the ids of the pages need not be known yet: such links lead to
/// their page, and what they would add is appended to Pending, for ResolveFragments once they are known.
std::string ToXhtml(const TParsedPage& Page, size_t Index, const TBookMap& Map, const std::string& Title,
                    const std::string& Preface, std::set<std::string>& Missing,
                    std::vector<TPendingFragment>* Pending = nullptr);

/// Completes Xhtml, a page that ToXhtml made with Pending: each link of Pending leads to its id where its
/// page keeps it in Map, as ToXhtml without Pending would have made it.
void ResolveFragments(std::string& Xhtml, const std::vector<TPendingFragment>& Pending, const TBookMap& Map);

/// A whole XHTML page of the book with Title and Body (XHTML).
std::string XhtmlDocument(const std::string& Title, const std::string& Body,
                          const std::string& Language = "ru");

/// The name of the book's page Index of issue Name ("2007_05_01.xhtml").
std::string BookPageName(const std::string& Name, size_t Index);
