// The reader's copy of a saved issue: an EPUB 3 book beside it in the save path.
#pragma once

#include <string>

/// Makes the book of issue Name (such as "2007_05") saved below SavePath, in its directory or, once it is
/// packed, in its archive, and writes it as SavePath/Name.epub: atomically, never over anything that
/// exists. The contents page comes first, then the articles in the order of their numbers (the navigation
/// bar's); pages and pictures that were not saved are left out, and the book's contents page lists them.
/// TitleUrl is the contents page's address (windows-1251): the book's identifier, and the base against which
/// outside links are made absolute. Returns the book's path; raises TAplThrowException when the issue
/// cannot be read or the book cannot be written, and nothing is left under the book's name then.
std::string MakeIssueBook(const std::string& SavePath, const std::string& Name, const std::string& TitleUrl);

/// The book's path for issue Name below SavePath.
std::string IssueBookPath(const std::string& SavePath, const std::string& Name);
