#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/CliCommand.h"

std::vector<CliCommand>& CliCommands() {
    static std::vector<CliCommand> commands;
    return commands;
}

namespace {
void PrintUsage(FILE* to) {
    std::fprintf(to, "usage: quillmar-cli COMMAND [ARGS...]\n\ncommands:\n");
    auto commands = CliCommands();
    std::sort(commands.begin(), commands.end(), [](auto& a, auto& b) { return a.name < b.name; });
    for (const CliCommand& c : commands) std::fprintf(to, "  %s\n", c.usage.c_str());
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        PrintUsage(stdout);
        return 0;
    }
    for (const CliCommand& c : CliCommands()) {
        if (c.name != name) continue;
        try {
            return c.run(std::vector<std::string>(argv + 2, argv + argc));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillmar-cli %s: %s\n", name.c_str(), e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "quillmar-cli: unknown command \"%s\"\n", name.c_str());
    PrintUsage(stderr);
    return 2;
}
