#include "privilege/BootFiles.h"

#include "network/InterfaceName.h"
#include "network/NameServer.h"
#include "privilege/HelperCommands.h"

#include <algorithm>

namespace BootFiles {

namespace {

struct NatOption {
    const char *flag;
    const char *line;
};

// Tested in this order by substring, so "-log_denied" is seen before "-log".
const NatOption kNatOptions[] = {
    {"-log_denied", "log_denied yes\n"},   {"-log", "log yes\n"},
    {"-use_sockets", "use_sockets yes\n"}, {"-same_ports", "same_ports yes\n"},
    {"-dynamic", "dynamic yes\n"},         {"-deny_incoming", "deny_incoming yes\n"},
};

constexpr std::string_view kIfconfig = "/sbin/ifconfig ";
constexpr std::string_view kDivert = "/sbin/ipfw add 95 divert natd all from any to any via ";
constexpr std::string_view kNameServerMessage = "Starting Local Caching Name Server";

std::string consoleMessage(std::string_view text)
{
    return "ConsoleMessage \"" + std::string(text) + "\"\n";
}

// The one line that starts the name server at boot.
std::string nameServerLine()
{
    std::string line = "/usr/sbin/named";
    for (const std::string &word : NameServer::startArguments())
        line += ' ' + word;
    return line + '\n';
}

Words split(std::string_view text, char separator)
{
    Words words;
    for (std::size_t at = 0;;) {
        const std::size_t end = text.find(separator, at);
        words.emplace_back(text.substr(at, end - at));
        if (end == std::string_view::npos)
            return words;
        at = end + 1;
    }
}

// Each line without its line feed; none when the last one has none.
std::optional<Words> linesOf(std::string_view bytes)
{
    if (!bytes.ends_with('\n'))
        return std::nullopt;
    Words lines = split(bytes, '\n');
    lines.pop_back();
    return lines;
}

bool helperRuns(const std::string &program, const Words &arguments)
{
    return HelperCommands::check(program, arguments, {}) == 0;
}

// The DHCP server's line: the helper's own install of its folders, then its own dnsmasq.
bool isDhcpLine(const std::string &line)
{
    const Words words = split(line, ' ');
    const auto both = std::find(words.begin(), words.end(), "&&");
    return both != words.end() && both + 1 != words.end() && words.front() == "/usr/bin/install" &&
           helperRuns(words.front(), Words(words.begin() + 1, both)) &&
           both[1] == "/usr/sbin/dnsmasq" && helperRuns(both[1], Words(both + 2, words.end()));
}

} // namespace

bool isPlainWord(std::string_view word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
    });
}

std::string bytesOf(const Lines &lines)
{
    std::string bytes;
    for (const std::string &line : lines)
        bytes += line;
    return bytes;
}

std::optional<Lines> natConfigLines(const Words &natArgs, std::size_t *skipped)
{
    Lines lines{"# Config file used by natd startup script in /Library/StartupItems/Velloran\n",
                "# Written by Velloran from the settings in its window\n", "#\n"};
    for (std::size_t i = 0; i < natArgs.size(); ++i) {
        if (natArgs[i].find("-interface") != std::string::npos) {
            // natd at boot reads this as root: a missing or odd name makes no file at all.
            if (++i >= natArgs.size() || !InterfaceName::isValid(natArgs[i]))
                return std::nullopt;
            lines.push_back("interface " + natArgs[i] + '\n');
            continue;
        }
        const auto match =
            std::find_if(std::begin(kNatOptions), std::end(kNatOptions), [&](const NatOption &o) {
                return natArgs[i].find(o.flag) != std::string::npos;
            });
        if (match != std::end(kNatOptions))
            lines.push_back(match->line);
        else if (skipped)
            ++*skipped;
    }
    lines.push_back("#\n");
    lines.push_back("# End natd config file\n");
    return lines;
}

std::optional<Lines> startupLines(const std::string &divertInterface, const Words &ifconfigArgs,
                                  bool nameServerRuns, const std::optional<std::string> &dhcpLine)
{
    // Every word from the window goes into a script that root runs at boot.
    if (!InterfaceName::isValid(divertInterface) || ifconfigArgs.empty() ||
        !InterfaceName::isValid(ifconfigArgs.front()) ||
        !std::all_of(ifconfigArgs.begin() + 1, ifconfigArgs.end(),
                     [](const std::string &word) { return isPlainWord(word); }))
        return std::nullopt;

    std::string ifconfigLine = "/sbin/ifconfig";
    for (const std::string &word : ifconfigArgs)
        ifconfigLine += ' ' + word;
    Lines lines{"#!/bin/sh\n",
                "#\n",
                "# Velloran service startup item - enables internet connection sharing on "
                "startup\n",
                "# Written by Velloran from the settings in its window\n",
                "#\n",
                "\n",
                ". /etc/rc.common\n",
                "\n",
                consoleMessage("Starting Velloran Services"),
                consoleMessage("Configuring Velloran Parameters"),
                "/usr/sbin/sysctl -w net.inet.ip.forwarding=1\n",
                ifconfigLine + '\n',
                "/usr/sbin/natd -f /etc/natd.conf\n",
                "/sbin/ipfw -f flush\n",
                std::string(kDivert) + divertInterface + '\n',
                "/sbin/ipfw add 65530 pass all from any to any\n",
                "\n"};
    if (nameServerRuns) {
        lines.push_back(consoleMessage(kNameServerMessage));
        lines.push_back(nameServerLine());
        lines.push_back("\n");
    }
    if (dhcpLine)
        lines.push_back(*dhcpLine + '\n');
    lines.push_back("#\n");
    lines.push_back("# End NAT startup item\n");
    return lines;
}

std::optional<std::string> remakeNatConfig(std::string_view bytes)
{
    const auto lines = linesOf(bytes);
    if (!lines)
        return std::nullopt;
    Words natArgs;
    for (const std::string &line : *lines) {
        if (line.rfind("interface ", 0) == 0) {
            natArgs.push_back("-interface");
            natArgs.push_back(line.substr(10));
        } else if (line.size() > 4 && line.ends_with(" yes")) {
            natArgs.push_back('-' + line.substr(0, line.size() - 4));
        } else if (line.rfind('#', 0) != 0) { // the comments are the generator's, as the rest
            return std::nullopt;
        }
    }
    const auto remade = natConfigLines(natArgs);
    if (!remade || !helperRuns("/usr/sbin/natd", natArgs))
        return std::nullopt;
    return bytesOf(*remade);
}

std::optional<std::string> remakeStartupScript(std::string_view bytes)
{
    const auto lines = linesOf(bytes);
    if (!lines)
        return std::nullopt;
    std::optional<std::string> divert, dhcpLine;
    std::optional<Words> ifconfigArgs;
    bool nameServerRuns = false;
    for (const std::string &line : *lines) {
        const std::string_view text = line;
        if (text.starts_with(kDivert) && !divert)
            divert = line.substr(kDivert.size());
        else if (text.starts_with(kIfconfig) && !ifconfigArgs)
            ifconfigArgs = split(text.substr(kIfconfig.size()), ' ');
        else if (line + '\n' == consoleMessage(kNameServerMessage))
            nameServerRuns = true;
        else if (text.find(" && ") != std::string_view::npos && !dhcpLine)
            dhcpLine = line;
    }
    if (!divert || !ifconfigArgs || !helperRuns("/sbin/ifconfig", *ifconfigArgs) ||
        (dhcpLine && !isDhcpLine(*dhcpLine)))
        return std::nullopt;
    const auto remade = startupLines(*divert, *ifconfigArgs, nameServerRuns, dhcpLine);
    return remade ? std::optional(bytesOf(*remade)) : std::nullopt;
}

} // namespace BootFiles
