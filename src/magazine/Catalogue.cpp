#include "magazine/Catalogue.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "magazine/Description.h"
#include "magazine/Processors.h"

namespace Magazine {

namespace {

/// The host name of Url (scheme and host in lower case; "http://" assumed when it names no scheme):
/// without user, port, path, query or fragment.
std::string HostOf(const std::string& Url)
{
    const size_t scheme = Url.find("://");
    size_t begin = scheme == std::string::npos || Url.find_first_of("/?#") < scheme ? 0 : scheme + 3;
    const size_t end = std::min(Url.size(), Url.find_first_of("/?#", begin));
    const size_t user = Url.rfind('@', end);
    if (user != std::string::npos && user >= begin)
        begin = user + 1;
    std::string host = Url.substr(begin, end - begin);
    const size_t port = host.rfind(':');
    if (port != std::string::npos && host.find(']') == std::string::npos)
        host.erase(port);
    return host;
}

/// The description files of Directory, by name; none when it does not exist.
std::vector<std::string> DescriptionFiles(const std::string& Directory)
{
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(Directory, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().extension() == ".toml" && entry->is_regular_file(error))
            files.push_back(entry->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

std::vector<std::string> DescriptionDirectories()
{
    std::vector<std::string> directories;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && *config != '\0')
        directories.push_back(std::string(config) + "/skerrow/magazines");
    else if (home != nullptr && *home != '\0')
        directories.push_back(std::string(home) + "/.config/skerrow/magazines");
    directories.push_back(SKERROW_MAGAZINES_DIR);
    return directories;
}

std::unique_ptr<ITask> ContentsTask(const std::string& Url, const std::string& SavePath,
                                    const std::string& DescriptionFile)
{
    if (!DescriptionFile.empty())
        return MakeContentsTask(Url, SavePath, ReadDescription(DescriptionFile));
    const std::string host = HostOf(Url);
    for (const std::string& directory : DescriptionDirectories()) {
        for (const std::string& file : DescriptionFiles(directory)) {
            std::shared_ptr<const TDescription> description = ReadDescription(file);
            if (ServesHost(*description, host))
                return MakeContentsTask(Url, SavePath, std::move(description));
        }
    }
    return nullptr;
}

void ListDescriptions(std::ostream& Out)
{
    for (const std::string& directory : DescriptionDirectories()) {
        for (const std::string& file : DescriptionFiles(directory)) {
            const std::shared_ptr<const TDescription> description = ReadDescription(file);
            std::string hosts;
            for (const std::string& host : description->Hosts)
                hosts += (hosts.empty() ? "" : ", ") + host;
            Out << description->Name << " - " << file << ": " << hosts << "\n";
        }
    }
}

} // namespace Magazine
