#pragma once

#include <optional>
#include <string>
#include <vector>

// natd's settings, from its command line and from "-f" configuration files.
struct NatdOptions {
    bool samePorts = false;
    bool useSockets = false;
    bool log = false;
    bool denyIncoming = false;
    bool logDenied = false;
    bool dynamic = false;
    std::string interface;
    std::string pidFile = "/var/run/natd.pid";
};

// Applies the arguments (without argv[0]) in order, reading "-f FILE" where it stands, as
// BSD natd does: words after an option that don't start with '-' are its value. Answers the
// error message, or nullopt when every option was understood.
std::optional<std::string> parseNatdArguments(const std::vector<std::string> &args,
                                              NatdOptions &options);

// Applies the lines of a configuration file: "name value", "name" alone meaning yes, "#" to
// the end of a line a comment.
std::optional<std::string> parseNatdConfig(const std::string &text, NatdOptions &options);
