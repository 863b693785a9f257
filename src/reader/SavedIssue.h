// A saved issue as it lies on disk: its directory below the save path, or the zip archive it was packed
// into. Names of its files are relative to the issue directory ("2007_05_00.htm", "2007_05_00/01.jpg").
#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "libs/PictureKind.h"
#include "libs/ZipArchive.h"

class TSavedIssue {
  public:
    /// Opens issue Name (such as "2007_05") below SavePath: its directory when that holds the contents page
    /// Name_00.htm, else its archive Name.zip when that holds it. Null when there is neither.
    static std::unique_ptr<TSavedIssue> Open(const std::string& SavePath, const std::string& Name);

    const std::string& Name() const { return m_Name; }
    bool IsArchive() const { return m_Archive != nullptr; }
    bool Has(const std::string& File) const { return m_Files.count(File) != 0; }
    /// Every file, sorted by name.
    const std::set<std::string>& Files() const { return m_Files; }
    /// The saved pages by their index: 0 the contents page, N the article page Name_NN.htm.
    const std::map<size_t, std::string>& Pages() const { return m_Pages; }
    /// A short text that changes whenever a file is added, removed or changes its size: what a book made
    /// from the issue records, to tell whether the copy changed since.
    std::string Fingerprint() const;
    /// The file whole; raises when it cannot be read.
    std::string Read(const std::string& File) const;
    /// Up to Count first bytes of the file; raises when it cannot be read.
    std::string Head(const std::string& File, size_t Count) const;
    /// The kind of picture the file is, told by its first bytes (BrintLib::PictureKindOf): never Unknown;
    /// raises when it cannot be read.
    BrintLib::TPictureKind PictureKind(const std::string& File) const;
    /// A libzip source of the file for Target, read only when Target is written; raises when libzip
    /// refuses it.
    zip_source_t* Source(zip_t* Target, const std::string& File) const;

  private:
    TSavedIssue() = default;
    void AddFile(const std::string& File, uint64_t Size);

    std::string m_Name;
    std::string m_Dir;   ///< the issue directory with a trailing separator; empty for an archive
    std::string m_Where; ///< the issue directory or the archive's path, for messages
    BrintLib::TZipArchivePtr m_Archive;
    std::set<std::string> m_Files;
    std::map<std::string, uint64_t> m_Sizes;
    std::map<size_t, std::string> m_Pages;
};

/// The page index of Reference when it names an article or the contents page of issue Name as the
/// program names them (MakePageName(Name, N) + ".htm", a fragment allowed after it, given in Fragment
/// without '#'), otherwise npos.
size_t PageIndex(const std::string& Name, const std::string& Reference, std::string* Fragment = nullptr);

/// Up to Limit first bytes of the file at Path (windows-1251); raises when it cannot be read.
std::string ReadFileHead(const std::string& Path, size_t Limit);
