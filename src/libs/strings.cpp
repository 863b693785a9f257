#include "libs/strings.h"

#include <utility>

#include "libs/Exceptions.h"

void ReplaceAll(const std::string& Text, const std::string& Find, const std::string& Replace,
                std::string& Result)
{
    FATAL_CHECK(!Find.empty());
    FATAL_CHECK(&Result != &Text && &Result != &Find && &Result != &Replace);
    Result.clear();
    std::string::size_type position = 0;
    for (;;) {
        const std::string::size_type found = Text.find(Find, position);
        if (found == std::string::npos) {
            Result.append(Text, position, std::string::npos);
            return;
        }
        Result.append(Text, position, found - position);
        Result += Replace;
        position = found + Find.size();
    }
}

void StoreAt(std::vector<std::string>& List, size_t Index, std::string Value)
{
    FATAL_CHECK(Index < List.max_size());
    if (Index >= List.size())
        List.resize(Index + 1, kErrorPage);
    List[Index] = std::move(Value);
}
