// Which address of a picture a browser shows: the candidates of a srcset attribute and the attributes that
// lazy-loading scripts fill in. One rule for every page the program reads, built-in sites and described
// magazines alike.
#pragma once

#include <array>
#include <string_view>
#include <vector>

/// One candidate of a srcset value: its address as written (a view into the value) and its descriptor.
struct TSrcsetCandidate {
    std::string_view Url;
    /// The "w" descriptor; 0 when the candidate has none.
    double Width = 0;
    /// The "x" descriptor; 1 when the candidate has neither "x" nor "w".
    double Density = 1;
};

/// The candidates of a srcset value in their order, read as a browser reads them: candidates apart by
/// commas, an address up to white space (trailing commas of an address end the candidate), descriptors
/// up to a comma outside parentheses. A candidate with an unreadable or repeated descriptor is dropped.
std::vector<TSrcsetCandidate> ParseSrcset(std::string_view Srcset);

/// The address of Srcset's widest candidate: the greatest width when any candidate has one, else the
/// greatest density; the first of equals. Empty when Srcset has no candidate. A view into Srcset.
std::string_view WidestCandidate(std::string_view Srcset);

/// The attributes of an <img> that name the picture a browser ends up showing, the first present and
/// non-empty one winning: the lazy-loading scripts' attributes over src, whose value is then a placeholder.
/// Names in lower case.
inline constexpr std::array<std::string_view, 4> kPictureAddressAttributes{"data-src", "data-lazy-src",
                                                                           "data-original", "src"};
