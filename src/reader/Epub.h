// The reader's copy of a saved issue: an EPUB 3 book beside it in the save path.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

/// What MakeIssueBook did.
struct TIssueBook {
    std::string Path;      ///< the book's
    bool UpToDate = false; ///< the book was made from the copy as it is, and is left as it was
};

/// Makes the book of issue Name (such as "2007_05") saved below SavePath, in its directory or, once it is
/// packed, in its archive, and writes it as SavePath/Name.epub, atomically. A book that Skerrow made is
/// remade whenever the copy changed since (a file added, removed or of another size, another TitleUrl)
/// and left as it is otherwise (UpToDate); any other file under the book's name is left alone and
/// reported. The contents page comes first, then the articles in the order of their numbers (the
/// navigation bar's); pages and pictures that were not saved are left out, and the book's contents page
/// lists them. TitleUrl is the contents page's address (windows-1251): the book's identifier, and the base
/// against which outside links are made absolute. Raises TAplThrowException when the issue cannot be read
/// or the book cannot be written ("Файл <path> уже существует" for a file that Skerrow did not make), and
/// what was under the book's name stays as it was then.
TIssueBook MakeIssueBook(const std::string& SavePath, const std::string& Name, const std::string& TitleUrl);

/// The book's path for issue Name below SavePath.
std::string IssueBookPath(const std::string& SavePath, const std::string& Name);

/// What a book that Skerrow made tells of itself (texts in UTF-8).
struct TBookFacts {
    std::string Title;
    std::string Identifier; ///< the contents page's address
    size_t Articles = 0;
    std::string Cover;     ///< the cover's bytes, when asked for; empty when it has none
    std::string CoverType; ///< its media type as the book says
    std::string Copy;      ///< what tells the copy it was made from; empty in a book of an older version
    std::vector<std::string> Spine;                ///< its pages' files in reading order
    std::map<std::string, std::string> MediaTypes; ///< each file of the book -> its media type
};
/// Reads the book at Path; nullopt when it is no book that Skerrow made (or cannot be read). WithCover:
/// the cover's bytes are read too.
std::optional<TBookFacts> ReadIssueBook(const std::string& Path, bool WithCover);
