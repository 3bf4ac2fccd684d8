#include "NatdOptions.h"

#include <fstream>
#include <sstream>

namespace {

enum class Kind { YesNo, Word, File };

struct Option {
    const char *name;
    const char *shortName;
    Kind kind;
    bool NatdOptions::*flag;
    std::string NatdOptions::*text;
};

const Option kOptions[] = {
    {"same_ports", "m", Kind::YesNo, &NatdOptions::samePorts, nullptr},
    {"use_sockets", "s", Kind::YesNo, &NatdOptions::useSockets, nullptr},
    {"log", "l", Kind::YesNo, &NatdOptions::log, nullptr},
    {"deny_incoming", "d", Kind::YesNo, &NatdOptions::denyIncoming, nullptr},
    {"log_denied", nullptr, Kind::YesNo, &NatdOptions::logDenied, nullptr},
    {"dynamic", nullptr, Kind::YesNo, &NatdOptions::dynamic, nullptr},
    {"interface", "n", Kind::Word, nullptr, &NatdOptions::interface},
    {"pid_file", "P", Kind::Word, nullptr, &NatdOptions::pidFile},
    {"config", "f", Kind::File, nullptr, nullptr},
};

const Option *findOption(const std::string &name)
{
    for (const Option &option : kOptions) {
        if (name == option.name || (option.shortName && name == option.shortName))
            return &option;
    }
    return nullptr;
}

std::optional<std::string> readConfigFile(const std::string &path, NatdOptions &options)
{
    std::ifstream file(path);
    if (!file)
        return "cannot read configuration file " + path;
    std::stringstream text;
    text << file.rdbuf();
    if (file.bad())
        return "cannot read configuration file " + path;
    return parseNatdConfig(text.str(), options);
}

// One option with its value (empty when none was given).
std::optional<std::string> apply(const std::string &name, const std::string &value,
                                 bool inConfigFile, NatdOptions &options)
{
    const Option *option = findOption(name);
    if (!option)
        return "unknown option " + name;
    switch (option->kind) {
    case Kind::YesNo:
        if (value.empty() || value == "yes")
            options.*(option->flag) = true;
        else if (value == "no")
            options.*(option->flag) = false;
        else
            return std::string(option->name) + " needs yes or no, not " + value;
        return std::nullopt;
    case Kind::Word:
        if (value.empty())
            return std::string(option->name) + " needs a value";
        if (value.find_first_of(" \t") != std::string::npos)
            return std::string(option->name) + " takes one value, not " + value;
        options.*(option->text) = value;
        return std::nullopt;
    case Kind::File:
        if (value.empty())
            return "config needs a file name";
        if (inConfigFile)
            return "a configuration file can't name another one";
        return readConfigFile(value, options);
    }
    return std::nullopt;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::optional<std::string> parseNatdArguments(const std::vector<std::string> &args,
                                              NatdOptions &options)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].size() < 2 || args[i][0] != '-')
            return "invalid option " + args[i];
        const std::string name = args[i].substr(1);
        std::string value;
        while (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
            value += (value.empty() ? "" : " ") + args[++i];
        }
        if (auto error = apply(name, value, false, options))
            return error;
    }
    return std::nullopt;
}

std::optional<std::string> parseNatdConfig(const std::string &text, NatdOptions &options)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const auto gap = line.find_first_of(" \t");
        const std::string name = line.substr(0, gap);
        const std::string value = gap == std::string::npos ? "" : trimmed(line.substr(gap));
        if (auto error = apply(name, value, true, options))
            return error;
    }
    return std::nullopt;
}
