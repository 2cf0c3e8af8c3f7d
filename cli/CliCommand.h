#pragma once
// quillmar-cli's commands. Each command file registers itself with a static CliRegistrar.
#include <functional>
#include <string>
#include <vector>

using CliHandler = std::function<int(const std::vector<std::string>& args)>;

struct CliCommand {
    std::string name;
    std::string usage;  // one or more lines shown by "quillmar-cli help"
    CliHandler run;
};

std::vector<CliCommand>& CliCommands();

struct CliRegistrar {
    CliRegistrar(std::string name, std::string usage, CliHandler run) {
        CliCommands().push_back(CliCommand{std::move(name), std::move(usage), std::move(run)});
    }
};
