// quillmar-cli formats: the output format catalogue, one format a line, fields separated by tabs:
// code, category, name, file extension. The extension comes from the program's format file;
// without one every format shows the extension a conversion would use then ("mp4"), and a
// warning on stderr says which file was missing.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "cli/CliCommand.h"

namespace {

int RunFormats(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: quillmar-cli formats\n");
        return 2;
    }
    const std::string path = LocateFormatFile(ProgramFolder());
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        std::fprintf(stderr, "quillmar-cli formats: format file %s not found; extensions are the default\n",
                     path.c_str());
    const TIniStore formatFile(path);
    const auto categories = FormatCategories();
    for (const TFormatEntry& f : AllFormats()) {
        const std::string ext = formatFile.ReadString(FormatSection(f.code), "FileExt", "mp4");
        std::printf("%d\t%s\t%s\t%s\n", f.code, std::string(categories[static_cast<size_t>(f.category)].caption).c_str(),
                    std::string(f.name).c_str(), ext.c_str());
    }
    std::fflush(stdout);
    return 0;
}

CliRegistrar reg("formats", "formats                      list the output formats: code, category, name, extension",
                 RunFormats);

}  // namespace
