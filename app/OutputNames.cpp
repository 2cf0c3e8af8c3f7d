#include "app/OutputNames.h"

#include <filesystem>
#include <system_error>

#include "app/GlobalUnit.h"
#include "app/ParameterLists.h"

namespace fs = std::filesystem;

namespace {

bool EnsureFolder(const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    fs::create_directories(folder, ec);
    return fs::is_directory(folder, ec);
}

// Existing in any form: a dangling link counts, so the encoder never writes through it.
bool Taken(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

}  // namespace

std::string BuildOutputName(TAppSettings& settings, IUserPrompt& prompt, const std::string& source,
                            const std::string& suffix, const std::set<std::string>& reserved) {
    std::string folder = settings.OutPutDir();
    if (!EnsureFolder(folder)) {
        const std::string fallback = DefaultOutputDir();
        prompt.ShowMessageBox("Warning", kMsgCannotCreateOutputDir + folder + ".It will create default directory " +
                                             fallback + "!");
        EnsureFolder(fallback);
        settings.SetOutPutDir(fallback);
        // The configured folder cannot hold the file, so this call uses the fallback as well.
        folder = fallback;
    }
    if (folder.back() != '/') folder += '/';

    const std::string base = fs::path(source).stem().string();
    std::string candidate = folder + base + "_(new)" + suffix;
    for (int n = 1; Taken(candidate) || reserved.count(candidate) > 0; ++n) candidate = folder + base + "_(new_" + std::to_string(n) + ")" + suffix;
    return candidate;
}
