#include <cstdio>

#include "Version.h"
#include "cli/CliCommand.h"

namespace {
CliRegistrar reg("version", "version                      print the program's version", [](const auto&) {
    std::printf("quillmar-cli %s\n", QUILLMAR_VERSION_TEXT);
    return 0;
});
}  // namespace
