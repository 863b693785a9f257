// String helpers of the page processors: replacing every occurrence of a literal text, and storing into a
// list of texts at an index that may lie beyond its end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// The value of a list entry that was added by StoreAt but never set.
inline constexpr const char kErrorPage[] = "error_page";

/// Writes into Result the text of Text with every occurrence of Find replaced by Replace. Occurrences
/// are exact, case-sensitive byte matches taken from left to right without overlapping; the inserted
/// Replace text is never searched again. Find must not be empty (fatal check). Result must be an object of its
/// own, none of the other three (fatal check); its previous content is discarded.
void ReplaceAll(const std::string& Text, const std::string& Find, const std::string& Replace,
                std::string& Result);

/// Sets List[Index] to Value. When Index is not below List.size(), the list first grows to Index + 1
/// entries, every new entry being kErrorPage. Index must be below List.max_size() (fatal check).
/// Value is taken by value, so it may be an entry of List itself.
void StoreAt(std::vector<std::string>& List, size_t Index, std::string Value);
