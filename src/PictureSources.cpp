#include "PictureSources.h"

#include "libs/strings.h"

#include <cstdlib>
#include <string>

namespace {

// Reads one descriptor ("640w", "1.5x") into Candidate; false when it is not one or repeats a kind.
bool ReadDescriptor(std::string_view Text, TSrcsetCandidate& Candidate, bool& HasWidth, bool& HasDensity)
{
    if (Text.size() < 2)
        return false;
    const char Kind = Text.back();
    const std::string Number(Text.substr(0, Text.size() - 1));
    char* End = nullptr;
    const double Value = std::strtod(Number.c_str(), &End);
    if (End != Number.c_str() + Number.size() || !(Value > 0) || Number[0] == '+')
        return false;
    if (Kind == 'w' && !HasWidth && !HasDensity &&
        Number.find_first_not_of("0123456789") == std::string::npos) {
        HasWidth = true;
        Candidate.Width = Value;
        return true;
    }
    if (Kind == 'x' && !HasWidth && !HasDensity) {
        HasDensity = true;
        Candidate.Density = Value;
        return true;
    }
    return Kind == 'h'; // a height alone tells nothing about the choice
}

} // namespace

std::vector<TSrcsetCandidate> ParseSrcset(std::string_view Srcset)
{
    std::vector<TSrcsetCandidate> Candidates;
    size_t At = 0;
    const size_t Size = Srcset.size();
    while (At < Size) {
        while (At < Size && (IsHtmlSpace(Srcset[At]) || Srcset[At] == ','))
            ++At;
        if (At == Size)
            break;
        const size_t UrlBegin = At;
        while (At < Size && !IsHtmlSpace(Srcset[At]))
            ++At;
        TSrcsetCandidate Candidate;
        Candidate.Url = Srcset.substr(UrlBegin, At - UrlBegin);
        bool Valid = true;
        if (Candidate.Url.back() == ',') {
            while (!Candidate.Url.empty() && Candidate.Url.back() == ',')
                Candidate.Url.remove_suffix(1);
        } else {
            bool HasWidth = false, HasDensity = false;
            for (;;) {
                while (At < Size && IsHtmlSpace(Srcset[At]))
                    ++At;
                if (At == Size)
                    break;
                if (Srcset[At] == ',') {
                    ++At;
                    break;
                }
                const size_t DescriptorBegin = At;
                int Depth = 0;
                while (At < Size && (Depth > 0 || (!IsHtmlSpace(Srcset[At]) && Srcset[At] != ','))) {
                    Depth += Srcset[At] == '(' ? 1 : Srcset[At] == ')' && Depth > 0 ? -1 : 0;
                    ++At;
                }
                if (!ReadDescriptor(Srcset.substr(DescriptorBegin, At - DescriptorBegin), Candidate, HasWidth,
                                    HasDensity))
                    Valid = false;
            }
        }
        if (Valid && !Candidate.Url.empty())
            Candidates.push_back(Candidate);
    }
    return Candidates;
}

std::string_view WidestCandidate(std::string_view Srcset)
{
    const std::vector<TSrcsetCandidate> Candidates = ParseSrcset(Srcset);
    const TSrcsetCandidate* Best = nullptr;
    bool ByWidth = false;
    for (const TSrcsetCandidate& Candidate : Candidates)
        ByWidth = ByWidth || Candidate.Width > 0;
    for (const TSrcsetCandidate& Candidate : Candidates) {
        const double Measure = ByWidth ? Candidate.Width : Candidate.Density;
        if (ByWidth && Candidate.Width == 0)
            continue;
        if (Best == nullptr || Measure > (ByWidth ? Best->Width : Best->Density))
            Best = &Candidate;
    }
    return Best == nullptr ? std::string_view() : Best->Url;
}
