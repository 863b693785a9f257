// The description of a magazine: a small TOML file that tells where an issue's parts stand on its pages,
// so that a magazine is copied without code of its own. Read strictly: an unknown key, a wrong type, a
// missing key, a selector or pattern that cannot be read are each refused with the file, line and column
// and what was expected there.
//
//   [magazine]  name, hosts (a host or *.domain), language (BCP 47; month names are read in it)
//   [issue]     page = { pattern, month, year } on the contents page, or address = { ... } on its address
//   [contents]  articles (selector of the article links), sections (optional), cover (optional,
//               selector@attribute or a selector of an <img>)
//   [article]   keep, remove (lists of selectors), title, next (optional selectors), address (optional
//               { pattern, replace }: another address fetched for each article)
//   [pictures]  attributes (the picture's address: the first present and non-empty one wins)
//
// Texts are UTF-8 in the file and windows-1251 here, as every text of the program.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "magazine/Selector.h"

class TRegexp;

namespace Magazine {

/// A selector with an optional attribute: "meta[property='og:image']@content".
struct TValueSelector {
    TSelector Selector;
    std::string Attribute; ///< lower case; empty when none was given
};

/// A pattern of the program's regex engine with the groups that hold the issue's month and year.
struct TIssueRule {
    bool FromAddress = false; ///< searched in the contents page's address, else in the page
    std::shared_ptr<TRegexp> Pattern;
    size_t Month = 0;
    size_t Year = 0;
};

/// Another address fetched for each article: Pattern's match in the article's address replaced by
/// Replace, in which $1..$9 stand for the groups.
struct TAddressRule {
    std::shared_ptr<TRegexp> Pattern;
    std::string Replace;
};

struct TDescription {
    std::string File; ///< the path it was read from
    std::string Name;
    std::vector<std::string> Hosts; ///< lower case; "*.domain" serves the domain's hosts below it
    std::string Language = "ru";
    TIssueRule Issue;
    TSelector Articles;
    TSelector Sections; ///< empty when the issue has none
    TValueSelector Cover;
    bool HasCover = false;
    std::vector<TSelector> Keep;
    std::vector<TSelector> Remove;
    TSelector Title; ///< empty: the link's text on the contents page
    TValueSelector Next;
    bool HasNext = false;
    TAddressRule Address;
    bool HasAddress = false;
    std::vector<std::string> PictureAttributes; ///< lower case
};

/// Reads the description in File. Raises BrintLib::TAplThrowException "FILE:LINE:COLUMN: <what was
/// expected>" when it cannot be read or is not a description.
std::shared_ptr<const TDescription> ReadDescription(const std::string& File);

/// Whether Host (lower case) is one of Description's: equal to a host of its list, or below the domain
/// of a "*.domain" entry.
bool ServesHost(const TDescription& Description, std::string_view Host);

} // namespace Magazine
