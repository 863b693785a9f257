// The saved pages of an issue as libxml2's tolerant HTML parser reads them, and what the book and the
// index of saved issues take from the contents page. Texts taken from pages are UTF-8 (libxml2's).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "libs/Xml.h"
#include "libs/strings.h"

/// One saved page (windows-1251 HTML) parsed into a tree; never fails (what cannot be read is left out).
class TParsedPage {
  public:
    explicit TParsedPage(const std::string& Html);
    xmlNode* Root() const { return BrintLib::XmlRoot(m_Doc.get()); }
    /// The first element named Name (lower case) in document order; null when there is none.
    xmlNode* Find(const char* Name) const;

  private:
    BrintLib::TXmlDocPtr m_Doc;
};

/// Whether Node is the element Name (lower case).
bool IsElement(const xmlNode* Node, const char* Name);
/// The value of the attribute Name of Element; empty when it has none.
std::string Attribute(const xmlNode* Element, const char* Name);
/// The text below Node with every run of white space made one blank, trimmed.
std::string NodeText(const xmlNode* Node);

/// What the contents page of issue Name tells about the issue.
struct TContentsFacts {
    std::string Title; ///< the page's title with the issue's month and year in it
    std::string Month; ///< "Май 2007"; the year alone for an issue named by a word ("2007_pvl")
    std::string Date;  ///< "2007-05"; "2007" for an issue named by a word
    std::string Cover; ///< the cover picture (a file of the issue): the first picture before the first
                       ///< link to an article; empty when there is none
    std::map<size_t, std::string> ArticleTitles; ///< page index -> the text of its first link with a text
    /// page index -> the section that begins with that article: the text of an <h2 class="skerrow-section">
    /// before its link (a described magazine's contents page); empty for an issue without sections
    std::map<size_t, std::string> SectionStarts;
    std::string Publisher;       ///< the content of <meta name="DC.publisher">; empty when there is none
    std::string Language = "ru"; ///< the content of <meta name="DC.language">; the sites' Russian without one
};
TContentsFacts ReadContentsFacts(const TParsedPage& Contents, const std::string& Name);

/// windows-1251 text in UTF-8 (the byte that windows-1251 leaves undefined as '?').
std::string Utf8FromCp1251(const std::string& Text);
