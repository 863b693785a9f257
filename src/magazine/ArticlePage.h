// What a described magazine keeps of one page: its kept elements taken from the page's own bytes, with the
// removed elements cut out, every picture's address chosen as a browser shows it and made absolute, and
// every link made absolute; and the page's title and the address of its next page, when the description
// asks for them.
#pragma once

#include <gumbo.h>

#include <string>
#include <string_view>

#include "magazine/Description.h"

namespace BrintLib {
class TPageUrl;
}

namespace Magazine {

struct TKeptPage {
    std::string Text;    ///< the kept elements in page order, one after the other; empty when none was found
    std::string Title;   ///< the text of article.title's first match; empty when none
    std::string NextUrl; ///< article.next's address, absolute; empty when none
};

/// Keeps what Description's article section keeps of Page (windows-1251), whose addresses are resolved
/// against PageUrl. An element inside another kept one is kept once, with it. In what is kept, each
/// element that a remove selector matches is cut out; each <img> becomes <img src="ADDRESS"> (PictureAddress;
/// an <img> without one, or only a data: placeholder, is left out) and the <source> elements of a
/// <picture> go; each link's href becomes its absolute address, its #fragment kept.
TKeptPage KeepArticle(const TDescription& Description, const std::string& Page,
                      const BrintLib::TPageUrl& PageUrl);

/// The address of the picture that the <img> Image shows, as written in Page, for the attributes
/// Attributes (lower case): the widest candidate (WidestCandidate) of the srcset values of the <source>
/// elements of its <picture> and its own (data-srcset before srcset: the lazy loader's), when there is
/// one; else the first attribute of Attributes that is present and not empty. Empty when there is none.
std::string PictureAddress(const GumboNode* Image, std::string_view Page,
                           const std::vector<std::string>& Attributes);

/// The address of the link that Element is or holds (href of Element, else of its first <a> with an
/// href), or of its attribute Attribute when that is given, resolved against PageUrl; empty when there is
/// none or it cannot be resolved.
std::string LinkAddress(const GumboNode* Element, std::string_view Page, const std::string& Attribute,
                        const BrintLib::TPageUrl& PageUrl);

} // namespace Magazine
