#include "libs/Xml.h"

#include <dlfcn.h>

#include "libs/Exceptions.h"

namespace BrintLib {

namespace {

/// The libxml2 that Debian's libxml2 package installs (the soname of every libxml2 2.x).
constexpr char kLibraryName[] = "libxml2.so.2";

/// The functions of libxml2 that the program calls; the library stays loaded until the process ends.
struct TLibXml {
    using TReadMemory = xmlDoc* (*)(const char*, int, const char*, const char*, int);
    TReadMemory HtmlReadMemory = nullptr;
    TReadMemory XmlReadMemory = nullptr;
    void (*FreeDoc)(xmlDoc*) = nullptr;
    xmlChar* (*GetProp)(const xmlNode*, const xmlChar*) = nullptr;
    xmlFreeFunc* Free = nullptr; ///< libxml2's variable xmlFree, which frees what it allocated

    TLibXml()
    {
        void* library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            APL_THROW("Не удалось загрузить " << kLibraryName << ": " << dlerror());
        Find(library, "htmlReadMemory", HtmlReadMemory);
        Find(library, "xmlReadMemory", XmlReadMemory);
        Find(library, "xmlFreeDoc", FreeDoc);
        Find(library, "xmlGetProp", GetProp);
        Find(library, "xmlFree", Free);
    }

    template <typename TPointer> static void Find(void* Library, const char* Name, TPointer& Pointer)
    {
        void* symbol = dlsym(Library, Name);
        if (symbol == nullptr)
            APL_THROW("Не удалось загрузить " << kLibraryName << ": нет " << Name);
        Pointer = reinterpret_cast<TPointer>(symbol);
    }
};

/// libxml2, loaded by the first call; a call after a failed one tries again. Never changes once loaded.
const TLibXml& LibXml()
{
    static const TLibXml library;
    return library;
}

} // namespace

void TXmlDocFree::operator()(xmlDoc* Doc) const
{
    // A document exists only once the library has been loaded: this cannot fail.
    if (Doc != nullptr)
        LibXml().FreeDoc(Doc);
}

TXmlDocPtr ReadHtml(const std::string& Html, const char* Encoding, int Options)
{
    return TXmlDocPtr(
        LibXml().HtmlReadMemory(Html.data(), static_cast<int>(Html.size()), nullptr, Encoding, Options));
}

TXmlDocPtr ReadXml(const std::string& Xml, const char* Encoding, int Options)
{
    return TXmlDocPtr(
        LibXml().XmlReadMemory(Xml.data(), static_cast<int>(Xml.size()), nullptr, Encoding, Options));
}

xmlNode* XmlRoot(const xmlDoc* Doc)
{
    if (Doc == nullptr)
        return nullptr;
    for (xmlNode* node = Doc->children; node != nullptr; node = node->next)
        if (node->type == XML_ELEMENT_NODE)
            return node;
    return nullptr;
}

std::string XmlAttribute(const xmlNode* Element, const char* Name)
{
    const TLibXml& library = LibXml();
    xmlChar* value = library.GetProp(Element, reinterpret_cast<const xmlChar*>(Name));
    if (value == nullptr)
        return std::string();
    std::string text = reinterpret_cast<const char*>(value);
    (*library.Free)(value);
    return text;
}

} // namespace BrintLib
