#include "magazine/Description.h"

#include <toml++/toml.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <sstream>

#include "PictureSources.h"
#include "libs/Charset.h"
#include "libs/Exceptions.h"
#include "libs/RegexpWrapper.h"

namespace Magazine {

namespace {

/// The reader of one description: every failure names the file and where in it.
class TReader {
  public:
    explicit TReader(const std::string& File) : m_File(File) {}

    [[noreturn]] void Fail(const toml::source_position& At, const std::string& What, size_t Shift = 0) const
    {
        APL_THROW(m_File << ":" << At.line << ":" << At.column + Shift << ": " << What);
    }
    [[noreturn]] void Fail(const toml::node& Node, const std::string& What, size_t Shift = 0) const
    {
        Fail(Node.source().begin, What, Shift);
    }

    /// The table at Key of Parent, or null when Parent has none and Required is false.
    const toml::table* Table(const toml::table& Parent, const char* Key, bool Required) const
    {
        const toml::node* node = Parent.get(Key);
        if (node == nullptr) {
            if (Required)
                Fail(Parent, std::string("a table [") + Key + "]");
            return nullptr;
        }
        if (!node->is_table())
            Fail(*node, std::string("a table at ") + Key);
        return node->as_table();
    }

    /// Refuses every key of Table that is not one of Known.
    void OnlyKeys(const toml::table& Table, std::initializer_list<const char*> Known,
                  const std::string& Where) const
    {
        for (auto&& [key, node] : Table) {
            const bool known = std::any_of(Known.begin(), Known.end(),
                                           [&key](const char* Name) { return key.str() == Name; });
            if (!known) {
                std::string expected;
                for (const char* name : Known)
                    expected += std::string(expected.empty() ? "" : ", ") + name;
                Fail(key.source().begin.line != 0 ? key.source().begin : node.source().begin,
                     "unknown key " + std::string(key.str()) + " in " + Where +
                         " (expected one of: " + expected + ")");
            }
        }
    }

    /// The string at Key, converted to windows-1251; nullopt when absent and not Required.
    std::optional<std::string> String(const toml::table& Parent, const char* Key, const std::string& Where,
                                      bool Required, const toml::node** Node = nullptr) const
    {
        const toml::node* node = Parent.get(Key);
        if (node == nullptr) {
            if (Required)
                Fail(Parent, "a string " + Where + "." + Key);
            return std::nullopt;
        }
        if (!node->is_string())
            Fail(*node, "a string at " + Where + "." + Key);
        if (Node != nullptr)
            *Node = node;
        return Cp1251(node->value<std::string>().value_or(""));
    }

    /// A whole number at Key (a group of a pattern, from 1).
    size_t Group(const toml::table& Parent, const char* Key, const std::string& Where) const
    {
        const toml::node* node = Parent.get(Key);
        if (node == nullptr)
            Fail(Parent, "a group number " + Where + "." + Key);
        if (!node->is_integer() || node->value<int64_t>().value_or(0) < 0 ||
            node->value<int64_t>().value_or(0) > 99)
            Fail(*node, "a group number (a whole number from 0 to 99) at " + Where + "." + Key);
        return static_cast<size_t>(node->value<int64_t>().value_or(0));
    }

    /// A list of strings at Key (a single string counts as a list of one).
    std::vector<std::pair<std::string, const toml::node*>>
    Strings(const toml::table& Parent, const char* Key, const std::string& Where, bool Required) const
    {
        std::vector<std::pair<std::string, const toml::node*>> result;
        const toml::node* node = Parent.get(Key);
        if (node == nullptr) {
            if (Required)
                Fail(Parent, "a list of strings " + Where + "." + Key);
            return result;
        }
        if (node->is_string()) {
            result.emplace_back(Cp1251(node->value<std::string>().value_or("")), node);
            return result;
        }
        if (!node->is_array())
            Fail(*node, "a list of strings at " + Where + "." + Key);
        for (const toml::node& item : *node->as_array()) {
            if (!item.is_string())
                Fail(item, "a string in the list " + Where + "." + Key);
            result.emplace_back(Cp1251(item.value<std::string>().value_or("")), &item);
        }
        if (Required && result.empty())
            Fail(*node, "at least one string in " + Where + "." + Key);
        return result;
    }

    /// The selector Text written at Node (a string); with Attribute, "selector@attribute" is allowed.
    TSelector Selector(const std::string& Text, const toml::node& Node, const std::string& Where,
                       std::string* Attribute = nullptr) const
    {
        std::string selectorText = Text;
        if (Attribute != nullptr) {
            const size_t at = Text.rfind('@');
            if (at != std::string::npos && Text.find_first_of("]'\"", at) == std::string::npos) {
                selectorText = Text.substr(0, at);
                *Attribute = Text.substr(at + 1);
                std::transform(Attribute->begin(), Attribute->end(), Attribute->begin(),
                               [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; });
                if (Attribute->empty() || Attribute->find_first_of(" \t,>[]") != std::string::npos)
                    Fail(Node, "an attribute name after '@' in " + Where, 1 + at + 1);
            }
        }
        TSelector selector;
        std::string error;
        size_t errorAt = 0;
        if (!TSelector::Parse(selectorText, selector, error, errorAt))
            Fail(Node, error + " in the selector " + Where, 1 + errorAt);
        return selector;
    }

    /// A pattern of the program's engine, its text at Node.
    std::shared_ptr<TRegexp> Pattern(const std::string& Text, const toml::node& Node,
                                     const std::string& Where) const
    {
        try {
            return std::make_shared<TRegexp>(Text.c_str(), 0);
        } catch (const std::exception& e) {
            Fail(Node, "a regular expression at " + Where + " (" + e.what() + ")");
        }
    }

  private:
    static std::string Cp1251(std::string Text)
    {
        BrintLib::ToCp1251("UTF-8", Text);
        return Text;
    }

    std::string m_File;
};

void ReadMagazine(const TReader& Reader, const toml::table& Root, TDescription& Result)
{
    const toml::table& magazine = *Reader.Table(Root, "magazine", true);
    Reader.OnlyKeys(magazine, {"name", "hosts", "language"}, "[magazine]");
    Result.Name = *Reader.String(magazine, "name", "magazine", true);
    for (auto& [host, node] : Reader.Strings(magazine, "hosts", "magazine", true)) {
        std::string lowered = host;
        std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                       [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; });
        const size_t star = lowered.find('*');
        if (lowered.empty() || lowered.find_first_of("/:@ \t") != std::string::npos ||
            (star != std::string::npos &&
             (star != 0 || lowered.compare(0, 2, "*.") != 0 || lowered.size() < 3)))
            Reader.Fail(*node, "a host name or *.domain in magazine.hosts");
        Result.Hosts.push_back(lowered);
    }
    const toml::node* languageNode = nullptr;
    if (auto language = Reader.String(magazine, "language", "magazine", false, &languageNode)) {
        const bool valid =
            !language->empty() &&
            language->find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") ==
                std::string::npos;
        if (!valid)
            Reader.Fail(*languageNode, "a language tag (BCP 47, such as ru or en) at magazine.language");
        Result.Language = *language;
    }
}

void ReadIssue(const TReader& Reader, const toml::table& Root, TDescription& Result)
{
    const toml::table& issue = *Reader.Table(Root, "issue", true);
    Reader.OnlyKeys(issue, {"page", "address"}, "[issue]");
    const toml::table* page = Reader.Table(issue, "page", false);
    const toml::table* address = Reader.Table(issue, "address", false);
    if ((page == nullptr) == (address == nullptr))
        Reader.Fail(issue, "one of issue.page and issue.address");
    const toml::table& rule = page != nullptr ? *page : *address;
    const std::string where = page != nullptr ? "issue.page" : "issue.address";
    Reader.OnlyKeys(rule, {"pattern", "month", "year"}, where);
    const toml::node* patternNode = nullptr;
    const std::string pattern = *Reader.String(rule, "pattern", where, true, &patternNode);
    Result.Issue.FromAddress = address != nullptr;
    Result.Issue.Pattern = Reader.Pattern(pattern, *patternNode, where + ".pattern");
    Result.Issue.Month = Reader.Group(rule, "month", where);
    Result.Issue.Year = Reader.Group(rule, "year", where);
}

void ReadContents(const TReader& Reader, const toml::table& Root, TDescription& Result)
{
    const toml::table& contents = *Reader.Table(Root, "contents", true);
    Reader.OnlyKeys(contents, {"articles", "sections", "cover"}, "[contents]");
    const toml::node* node = nullptr;
    const std::string articles = *Reader.String(contents, "articles", "contents", true, &node);
    Result.Articles = Reader.Selector(articles, *node, "contents.articles");
    if (auto sections = Reader.String(contents, "sections", "contents", false, &node))
        Result.Sections = Reader.Selector(*sections, *node, "contents.sections");
    if (auto cover = Reader.String(contents, "cover", "contents", false, &node)) {
        Result.Cover.Selector = Reader.Selector(*cover, *node, "contents.cover", &Result.Cover.Attribute);
        Result.HasCover = true;
    }
}

void ReadArticle(const TReader& Reader, const toml::table& Root, TDescription& Result)
{
    const toml::table& article = *Reader.Table(Root, "article", true);
    Reader.OnlyKeys(article, {"keep", "remove", "title", "next", "address"}, "[article]");
    for (auto& [text, node] : Reader.Strings(article, "keep", "article", true))
        Result.Keep.push_back(Reader.Selector(text, *node, "article.keep"));
    for (auto& [text, node] : Reader.Strings(article, "remove", "article", false))
        Result.Remove.push_back(Reader.Selector(text, *node, "article.remove"));
    const toml::node* node = nullptr;
    if (auto title = Reader.String(article, "title", "article", false, &node))
        Result.Title = Reader.Selector(*title, *node, "article.title");
    if (auto next = Reader.String(article, "next", "article", false, &node)) {
        Result.Next.Selector = Reader.Selector(*next, *node, "article.next", &Result.Next.Attribute);
        Result.HasNext = true;
    }
    if (const toml::table* address = Reader.Table(article, "address", false)) {
        Reader.OnlyKeys(*address, {"pattern", "replace"}, "article.address");
        const std::string pattern = *Reader.String(*address, "pattern", "article.address", true, &node);
        Result.Address.Pattern = Reader.Pattern(pattern, *node, "article.address.pattern");
        Result.Address.Replace = *Reader.String(*address, "replace", "article.address", true);
        Result.HasAddress = true;
    }
}

void ReadPictures(const TReader& Reader, const toml::table& Root, TDescription& Result)
{
    const toml::table* pictures = Reader.Table(Root, "pictures", false);
    if (pictures != nullptr) {
        Reader.OnlyKeys(*pictures, {"attributes"}, "[pictures]");
        for (auto& [name, node] : Reader.Strings(*pictures, "attributes", "pictures", true)) {
            std::string lowered = name;
            std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                           [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; });
            if (lowered.empty() || lowered.find_first_of(" \t\"'=<>/") != std::string::npos)
                Reader.Fail(*node, "an attribute name in pictures.attributes");
            Result.PictureAttributes.push_back(lowered);
        }
    }
    if (Result.PictureAttributes.empty())
        Result.PictureAttributes.assign(kPictureAddressAttributes.begin(), kPictureAddressAttributes.end());
}

} // namespace

std::shared_ptr<const TDescription> ReadDescription(const std::string& File)
{
    const TReader reader(File);
    toml::table root;
    try {
        root = toml::parse_file(File);
    } catch (const toml::parse_error& e) {
        const toml::source_position at = e.source().begin;
        if (at.line == 0)
            APL_THROW(File << ": a readable description file (" << e.description() << ")");
        reader.Fail(at, "valid TOML (" + std::string(e.description()) + ")");
    }
    auto result = std::make_shared<TDescription>();
    result->File = File;
    reader.OnlyKeys(root, {"magazine", "issue", "contents", "article", "pictures"}, "the description");
    ReadMagazine(reader, root, *result);
    ReadIssue(reader, root, *result);
    ReadContents(reader, root, *result);
    ReadArticle(reader, root, *result);
    ReadPictures(reader, root, *result);
    return result;
}

bool ServesHost(const TDescription& Description, std::string_view Host)
{
    for (const std::string& host : Description.Hosts) {
        if (host.compare(0, 2, "*.") == 0) {
            const std::string_view domain = std::string_view(host).substr(2);
            if (Host.size() > domain.size() && Host.substr(Host.size() - domain.size()) == domain &&
                Host[Host.size() - domain.size() - 1] == '.')
                return true;
        } else if (Host == host) {
            return true;
        }
    }
    return false;
}

} // namespace Magazine
