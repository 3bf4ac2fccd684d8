#include "Diagnostics.h"

#include <cstdio>

namespace Diagnostics {

namespace {
const char *g_tool = "bsdtool";
}

void setTool(const char *name)
{
    g_tool = name;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", g_tool, message.c_str());
    return 1;
}

std::string firstLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    const std::string prefix = "Error: ";
    if (line.compare(0, prefix.size(), prefix) == 0)
        line.erase(0, prefix.size());
    return line.empty() ? std::string("unknown error") : line;
}

} // namespace Diagnostics
