// libxml2's readers, for the book and the index of saved issues. The program does not link libxml2: it is
// loaded (dlopen) when a page or a book is first read, so that a run that makes neither does not pay for
// loading it and the ICU libraries that it pulls in, about a millisecond of every start. Its types and
// constants are those of its headers; only the functions below call into it.
#pragma once

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>

namespace BrintLib {

/// Frees a document that ReadHtml or ReadXml returned.
struct TXmlDocFree {
    void operator()(xmlDoc* Doc) const;
};
using TXmlDocPtr = std::unique_ptr<xmlDoc, TXmlDocFree>;

/// htmlReadMemory of Html, read as Encoding with libxml2's HTML_PARSE_* Options; null when libxml2 cannot
/// read it. Raises TAplThrowException when libxml2 cannot be loaded (its message names the reason).
TXmlDocPtr ReadHtml(const std::string& Html, const char* Encoding, int Options);
/// xmlReadMemory of Xml, likewise, with XML_PARSE_* Options.
TXmlDocPtr ReadXml(const std::string& Xml, const char* Encoding, int Options);
/// The root element of Doc (xmlDocGetRootElement); null when Doc is null or has none.
xmlNode* XmlRoot(const xmlDoc* Doc);
/// The value of the attribute Name of Element (xmlGetProp); empty when it has none.
std::string XmlAttribute(const xmlNode* Element, const char* Name);

} // namespace BrintLib
