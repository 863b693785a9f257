#include "CommandLine.h"

#include <cstddef>

const char kUsage[] =
    "Использвание: Skerrow <URL титульной страницы журнала> <путь сохранения> [Путь к WinRar.exe]";

namespace {

/// One option of the command line.
struct TOption {
    const char* Long; ///< "--name"
    char Short;       ///< the letter of "-x", or 0 for none
    const char* Value; ///< what the option's value is, for the help ("файл"); null for an option without one
    void (*Set)(TCommandLine& Line, const std::string& Value);
    const char* Meaning; ///< for the help (windows-1251)
};

const TOption kOptions[] = {
    {"--epub", 0, nullptr, [](TCommandLine& Line, const std::string&) { Line.Book = true; },
     "записать книгу выпуска (<путь сохранения>/<год>_<месяц>.epub)"},
    {"--index", 0, nullptr, [](TCommandLine& Line, const std::string&) { Line.Index = true; },
     "записать <путь сохранения>/index.htm со списком сохранённых выпусков"},
    {"--magazine", 0, "файл", [](TCommandLine& Line, const std::string& File) { Line.Magazine = File; },
     "копировать выпуск по описанию журнала в этом файле (TOML)"},
    {"--magazines", 0, nullptr, [](TCommandLine& Line, const std::string&) { Line.ListMagazines = true; },
     "перечислить журналы, которые можно копировать"},
    {"--help", 'h', nullptr, [](TCommandLine& Line, const std::string&) { Line.Help = true; }, "эта справка"},
    {"--version", 'V', nullptr, [](TCommandLine& Line, const std::string&) { Line.Version = true; },
     "версия программы"},
};

/// The arguments: the URL and the save path, then the archiver.
constexpr size_t kRequiredArguments = 2;
constexpr size_t kMostArguments = 3;

const TOption* FindOption(const std::string& Name)
{
    for (const TOption& option : kOptions)
        if (Name == option.Long || (option.Short != 0 && Name.size() == 2 && Name[1] == option.Short))
            return &option;
    return nullptr;
}

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Args)
{
    TCommandLine line;
    bool options = true;
    for (size_t i = 1; i < Args.size(); ++i) {
        const std::string& arg = Args[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            line.Arguments.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        // A long option's value may be glued to it with '='.
        const size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const TOption* option = FindOption(name);
        if (option == nullptr)
            throw TUsageError{"Неизвестный параметр: ", arg};
        std::string value;
        if (option->Value != nullptr && equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (option->Value != nullptr) {
            if (i + 1 == Args.size())
                throw TUsageError{"Не указано значение параметра ", name};
            value = Args[++i];
        } else if (equals != std::string::npos) {
            throw TUsageError{"Параметр не принимает значения: ", arg};
        }
        option->Set(line, value);
    }
    if (line.Help || line.Version || line.ListMagazines)
        return line;
    if (line.Arguments.empty())
        throw TUsageError{"Не указан URL титульной страницы журнала", ""};
    if (line.Arguments.size() < kRequiredArguments)
        throw TUsageError{"Не указан путь сохранения", ""};
    if (line.Arguments.size() > kMostArguments)
        throw TUsageError{"Лишний аргумент: ", line.Arguments[kMostArguments]};
    return line;
}

std::string OptionsHelp()
{
    std::string help;
    for (const TOption& option : kOptions) {
        help += "  ";
        if (option.Short != 0)
            help += std::string("-") + option.Short + ", ";
        help += option.Long;
        if (option.Value != nullptr)
            help += std::string(" <") + option.Value + ">";
        help += std::string(" - ") + option.Meaning + "\n";
    }
    return help;
}
