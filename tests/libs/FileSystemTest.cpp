// Directory creation and removal, and new files, on a real temporary directory.

#include "libs/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

using BrintLib::CreateFullPath;
using BrintLib::PathExists;
using BrintLib::RemoveDirectoryTree;
using BrintLib::TAtomicFile;
using BrintLib::TNewFile;
using TestSupport::TTempDir;

namespace {

bool IsDirectory(const std::string& Path)
{
    struct stat info;
    return lstat(BrintLib::NativePath(Path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void MakeFile(const std::string& Path, const std::string& Content = "x")
{
    TNewFile file;
    ASSERT_EQ(file.Create(Path), 0) << Path;
    ASSERT_EQ(file.Write(Content.data(), Content.size()), 0);
}

std::string Content(const std::string& Path)
{
    std::string text;
    FILE* file = std::fopen(Path.c_str(), "rb");
    if (file == nullptr)
        return "<missing>";
    char buffer[256];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    std::fclose(file);
    return text;
}

} // namespace

TEST(CreateFullPath, CreatesEveryMissingLevel)
{
    TTempDir dir;
    for (const std::string& path : {dir / "a/b/c", dir / "d/e/", dir / "f//g", dir / "a/b/c/h"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(CreateFullPath(path), 0u);
        EXPECT_TRUE(IsDirectory(path));
    }
    EXPECT_TRUE(IsDirectory(dir / "a/b"));
    // A link to a directory serves as that level.
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(CreateFullPath(dir / "link/issue"), 0u);
    EXPECT_TRUE(IsDirectory(dir / "a/issue"));
}

TEST(CreateFullPath, PathThatExistsWhollyChangesNothing)
{
    TTempDir dir;
    ASSERT_EQ(CreateFullPath(dir / "a/b"), 0u);
    MakeFile(dir / "a/b/keep.txt", "kept");
    EXPECT_EQ(CreateFullPath(dir / "a/b"), 0u);
    EXPECT_EQ(CreateFullPath(dir / "a/b/"), 0u);
    EXPECT_EQ(CreateFullPath("/"), 0u);
    EXPECT_EQ(Content(dir / "a/b/keep.txt"), "kept");
}

TEST(CreateFullPath, LevelThatIsAFileStopsWithAlreadyExistsAndWindows1251NamesAreConvertedAtTheCall)
{
    TTempDir dir;
    MakeFile(dir / "file");
    EXPECT_EQ(CreateFullPath(dir / "file/sub/deeper"), static_cast<unsigned>(EEXIST));
    EXPECT_FALSE(PathExists(dir / "file/sub"));
    EXPECT_EQ(CreateFullPath(""), static_cast<unsigned>(ENOENT));
    // The check before a run says the same, creating nothing; missing levels under a directory are fine.
    EXPECT_EQ(BrintLib::CheckDirectoryPath(dir / "file/sub/deeper"), static_cast<unsigned>(ENOTDIR));
    EXPECT_EQ(BrintLib::CheckDirectoryPath(dir / "file"), static_cast<unsigned>(ENOTDIR));
    EXPECT_EQ(BrintLib::CheckDirectoryPath(dir / "new/sub/"), 0u);
    EXPECT_EQ(BrintLib::CheckDirectoryPath(dir.Path()), 0u);
    EXPECT_EQ(BrintLib::CheckDirectoryPath("relative/dir"), 0u);
    EXPECT_EQ(BrintLib::CheckDirectoryPath(""), static_cast<unsigned>(ENOENT));
    EXPECT_FALSE(PathExists(dir / "new"));

    // Windows-1251 names are converted at the call.
    const std::string path = dir / "cp/Журнал/Выпуск";
    EXPECT_EQ(CreateFullPath(path), 0u);
    EXPECT_TRUE(IsDirectory(path));
    // The name on disk is in the user's encoding, not windows-1251.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "cp"))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{BrintLib::NativePath("Журнал")});
    EXPECT_EQ(RemoveDirectoryTree(dir / "cp/Журнал"), 0u);
    EXPECT_FALSE(PathExists(dir / "cp/Журнал"));
}

TEST(RemoveDirectoryTree, RemovesNestedTreeDepthFirst)
{
    TTempDir dir;
    const std::string issue = dir / "2007_05";
    ASSERT_EQ(CreateFullPath(issue + "/2007_05_01/deep/deeper"), 0u);
    ASSERT_EQ(CreateFullPath(issue + "/empty"), 0u);
    for (const char* name : {"/2007_05_00.htm", "/.hidden", "/..dots", "/...", "/2007_05_01/01.jpg",
                             "/2007_05_01/deep/deeper/x"})
        MakeFile(issue + name);
    EXPECT_EQ(RemoveDirectoryTree(issue), 0u);
    EXPECT_FALSE(PathExists(issue));
    EXPECT_TRUE(IsDirectory(dir.Path()));
    // An empty one, named with a trailing separator.
    ASSERT_EQ(CreateFullPath(dir / "empty"), 0u);
    EXPECT_EQ(RemoveDirectoryTree(dir / "empty/"), 0u);
    EXPECT_FALSE(PathExists(dir / "empty"));
}

TEST(RemoveDirectoryTree, WhatIsNoDirectoryIsReportedAndLeftAloneAndNoLinkIsFollowed)
{
    TTempDir dir;
    MakeFile(dir / "file", "kept");
    ASSERT_EQ(CreateFullPath(dir / "target"), 0u);
    MakeFile(dir / "target/inside", "kept");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    const struct {
        std::string Path;
        int Error;
    } cases[] = {
        {dir / "missing", ENOENT},
        {dir / "file", ENOTDIR},
        {dir / "link", ENOTDIR}, // a link is never followed, not even at the top
        {dir / "link/", ENOTDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(RemoveDirectoryTree(c.Path), static_cast<unsigned>(c.Error));
    }
    EXPECT_EQ(Content(dir / "file"), "kept");
    EXPECT_EQ(Content(dir / "target/inside"), "kept");
    EXPECT_TRUE(PathExists(dir / "link"));

    // Links inside the tree are removed, not followed.
    ASSERT_EQ(CreateFullPath(dir / "outside/sub"), 0u);
    MakeFile(dir / "outside/precious", "kept");
    MakeFile(dir / "outside/sub/precious", "kept");
    ASSERT_EQ(CreateFullPath(dir / "tree/pics"), 0u);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/to-dir").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside/precious").c_str(), (dir / "tree/pics/to-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "tree/dangling").c_str()), 0);

    EXPECT_EQ(RemoveDirectoryTree(dir / "tree"), 0u);
    EXPECT_FALSE(PathExists(dir / "tree"));
    EXPECT_EQ(Content(dir / "outside/precious"), "kept");
    EXPECT_EQ(Content(dir / "outside/sub/precious"), "kept");
}

TEST(TNewFile, RefusesAnythingThatExistsWritesAppendAndReportsAFullDisk)
{
    TTempDir dir;
    MakeFile(dir / "old", "old content");
    ASSERT_EQ(symlink((dir / "created-through-link").c_str(), (dir / "dangling").c_str()), 0);
    for (const std::string& path : {dir / "old", dir / "dangling", dir.Path()}) {
        SCOPED_TRACE(path);
        TNewFile file;
        EXPECT_EQ(file.Create(path), EEXIST);
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(Content(dir / "old"), "old content");
    EXPECT_FALSE(PathExists(dir / "created-through-link"));

    TNewFile missingDirectory;
    EXPECT_EQ(missingDirectory.Create(dir / "no/such"), ENOENT);
    // Writes append, and a full disk is reported.
    {
        TNewFile file;
        ASSERT_EQ(file.Create(dir / "new"), 0);
        EXPECT_EQ(file.Write("ab\0", 3), 0);
        EXPECT_EQ(file.Write("cd", 2), 0);
        EXPECT_EQ(file.Close(), 0);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.Close(), 0);
    }
    EXPECT_EQ(Content(dir / "new"), std::string("ab\0cd", 5));

    TNewFile file;
    ASSERT_EQ(file.Create(dir / "full"), 0);
    const std::string block(4096, 'z');
    const TestSupport::TFileSizeLimit full(6000);
    EXPECT_EQ(file.Write(block.data(), block.size()), 0);
    EXPECT_EQ(file.Write(block.data(), block.size()), EFBIG);
}

TEST(TAtomicFile, AppearsWholeOnCommitOrNotAtAllNeverOverAnythingNorOverATemporaryOfAnotherRun)
{
    TTempDir dir;
    const std::string id = "." + std::to_string(getpid()) + ".part";
    EXPECT_EQ(TAtomicFile::TemporaryPath(dir / "01.jpg"), dir / (".01.jpg" + id));
    EXPECT_EQ(TAtomicFile::TemporaryPath("page.htm"), ".page.htm" + id);
    {
        TAtomicFile file;
        ASSERT_EQ(file.Create(dir / "whole"), 0);
        EXPECT_EQ(file.Write("ab", 2), 0);
        EXPECT_FALSE(PathExists(dir / "whole"));
        EXPECT_EQ(Content(dir / (".whole" + id)), "ab");
        EXPECT_EQ(file.Commit(), 0);
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(Content(dir / "whole"), "ab");
    EXPECT_FALSE(PathExists(dir / (".whole" + id)));
    {
        TAtomicFile file;
        ASSERT_EQ(file.Create(dir / "abandoned"), 0);
        EXPECT_EQ(file.Write("ab", 2), 0);
    }
    EXPECT_FALSE(PathExists(dir / "abandoned"));
    EXPECT_FALSE(PathExists(dir / (".abandoned" + id)));

    // It never replaces what appeared meanwhile. Another run's temporary, and one of this process that it did
    // not make: both stay.
    MakeFile(dir / ".left.1.part", "another run's");
    TAtomicFile left;
    ASSERT_EQ(left.Create(dir / "left"), 0);
    EXPECT_EQ(left.Write("all of it", 9), 0);
    MakeFile(dir / "left", "came first");
    EXPECT_EQ(left.Commit(), EEXIST);
    EXPECT_EQ(Content(dir / "left"), "came first");
    EXPECT_FALSE(PathExists(dir / (".left" + id)));
    EXPECT_EQ(Content(dir / ".left.1.part"), "another run's");
    MakeFile(dir / (".taken" + id), "half of it");
    EXPECT_EQ(TAtomicFile().Create(dir / "taken"), EEXIST);
    EXPECT_EQ(Content(dir / (".taken" + id)), "half of it");

    ASSERT_EQ(mkdir((dir / (".blocked" + id)).c_str(), 0777), 0);
    TAtomicFile blocked;
    EXPECT_NE(blocked.Create(dir / "blocked"), 0);
    EXPECT_FALSE(blocked.IsOpen());
    EXPECT_EQ(TAtomicFile().Create(dir / "no/such"), ENOENT);
}

// The holder of a directory's lock removes the temporaries that ended runs left there, in every
// subdirectory, and nothing else; a second lock on the directory is refused while the first is held.
TEST(TDirectoryLock, OneHolderAtATimeWhoMayRemoveLeftTemporaries)
{
    TTempDir dir;
    MakeFile(dir / ".01.jpg.123.part", "left");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0777), 0);
    MakeFile(dir / "sub/.02.png.4567.part", "left");
    for (const char* kept : {"01.jpg", ".hidden", "x.part", ".a.part", ".b.12x.part", "sub/.c..part"})
        MakeFile(dir / kept, "kept");
    BrintLib::TDirectoryLock first;
    ASSERT_EQ(first.Lock(dir.Path()), 0);
    BrintLib::TDirectoryLock second;
    EXPECT_EQ(second.Lock(dir.Path()), EWOULDBLOCK);
    EXPECT_FALSE(second.IsLocked());
    EXPECT_EQ(BrintLib::RemoveTemporaries(dir.Path()), 2u);
    EXPECT_FALSE(PathExists(dir / ".01.jpg.123.part"));
    EXPECT_FALSE(PathExists(dir / "sub/.02.png.4567.part"));
    for (const char* kept : {"01.jpg", ".hidden", "x.part", ".a.part", ".b.12x.part", "sub/.c..part"})
        EXPECT_EQ(Content(dir / kept), "kept") << kept;
    first.Unlock();
    EXPECT_EQ(second.Lock(dir.Path()), 0);
    EXPECT_EQ(second.Lock(dir / "no-such"), ENOENT);
}
