// Packing the finished issue: the archiver named on the command line packs the issue directory into a zip
// archive beside it; once the archiver reports success, the directory is removed.
#include "Driver.h"

#include <vector>

#include "libs/Exceptions.h"
#include "libs/FileSystem.h"
#include "libs/TestHelper.h"

namespace {

/// The archiver's switches, as WinRar reads them: add (a) to a zip archive (-afzip), names relative to
/// the packed directory (-ep1), no configuration (-cfg-), lock (-k), best compression (-m5), recurse
/// (-r), solid (-s), no volumes (-sv-), test after packing (-t), quiet (-idq), end of switches (--).
const char kArchiverSwitches[] = " a -afzip -ep1 -cfg- -k -m5 -r -s -sv- -t -idq -- ";

} // namespace

void PackIssue(const std::string& ArchiverPath)
{
    std::string dir = g_IssueDir;
    while (!dir.empty() && dir.back() == BrintLib::kPathSeparator)
        dir.pop_back();

    // The archive name and the set of files are passed in double quotes. A path that the archiver would
    // read back differently (a '"' in it, a '\' before the closing quote) would let it pack some other
    // directory, and the issue directory would then be removed unpacked; such a path is refused.
    // Likewise a directory whose name is nothing but separators: that would be the file-system root.
    const std::string archive = std::string(1, '"') + dir + "\" \"" + dir + BrintLib::kPathSeparator + "*\"";
    const std::vector<std::string> expected = {dir, dir + BrintLib::kPathSeparator + "*"};
    if (dir.empty() || BrintLib::SplitArguments(archive) != expected)
        APL_THROW("Каталог " << g_IssueDir << " нельзя передать архиватору");

    const std::string command = ArchiverPath + kArchiverSwitches + archive;
    if (BrintLib::ExecuteCommand(command.c_str()) != 0)
        APL_THROW("Ошибка WinRar, при выполнении комманды " << command);
    BrintLib::RemoveDirectoryTree(g_IssueDir);
}
