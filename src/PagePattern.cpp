#include "PagePattern.h"

#include "libs/Exceptions.h"

std::string AttributeIs(const std::string& Name, const std::string& Value)
{
    return Name + R"re(\s*(?:=\s*"|=\s*'|=)(?:(?:(?<=\s*"))re" + Value + R"re((?="))|(?:(?<=\s*'))re" +
           Value + R"re((?='))|(?:(?<==))re" + Value + R"re((?=[\s>]))))re";
}

std::string AttributeValue(const std::string& Name)
{
    return R"re((?<![\w-]))re" + Name +
           R"re(\s*(?:=\s*"|=\s*'|=)((?:(?<=\s*")[^"]+(?="))|(?:(?<=\s*')[^']+(?='))|)re"
           R"re((?:(?<==)[^\s>"']+(?=[\s>]))))re";
}

TRegexp Compile(const TPagePattern& Pattern)
{
    return TRegexp(Pattern.Text.c_str(), Pattern.Flags);
}

const TPagePattern& FindPattern(const TPagePatterns& Table, const std::string& Name)
{
    for (const TPagePattern& pattern : Table) {
        if (Name == pattern.Name)
            return pattern;
    }
    APL_THROW("No page pattern " << Name);
}
