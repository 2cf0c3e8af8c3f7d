// Writes the initial settings shipped with the program (data/quillmar.ini) from the format file:
// a "settings" section, the chooser's collapse states, and for every format exactly what its
// Default button stores, except that new jobs start in letterbox zoom.
//
//   cmake --build BUILD --target quillmar-initial-settings
//   BUILD/data/quillmar-initial-settings data/quillmarformat.ini data/quillmar.ini
//
// A message from the rules means the format file offers a choice that does not store; the
// program then fails instead of shipping half a section.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "app/FormatCatalogue.h"
#include "app/IniStore.h"
#include "app/ParameterLists.h"

namespace {

class TFailingPrompt : public IUserPrompt {
public:
    std::vector<std::string> messages;
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ShowMessageBox(const std::string& caption, const std::string& text) override {
        messages.push_back(caption + ": " + text);
    }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        messages.push_back(caption + ": " + text);
        return false;
    }
    void Beep() override { messages.emplace_back("beep"); }
};

void WriteSettingsSection(TIniStore& out) {
    const TFormatEntry first = AllFormats().front();
    out.WriteInteger("settings", "skinIndex", 0);
    out.WriteInteger("settings", "FormatCode", first.code);
    out.WriteString("settings", "FormatName", std::string(first.name));
    out.WriteInteger("settings", "volume", 64);
    out.WriteInteger("settings", "mute", 0);
    out.WriteInteger("settings", "priority", 1);
    out.WriteInteger("settings", "snapFullSize", 1);
    out.WriteInteger("settings", "snapSmallSize", 1);
    out.WriteInteger("settings", "snapBmp", 1);
    out.WriteInteger("settings", "snapJpg", 1);
    out.WriteInteger("settings", "jpgCmp", 85);
    // The category of the chosen format opens expanded; the others start collapsed.
    for (const TFormatCategory& c : FormatCategories())
        out.WriteBool("lstformat", std::to_string(c.index), c.index != first.category);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FORMAT_FILE OUTPUT\n", argv[0]);
        return 2;
    }
    try {
        const TIniStore formatFile(argv[1]);
        const std::string outPath = argv[2];
        const std::string tempPath = outPath + ".new";
        std::filesystem::remove(tempPath);
        TIniStore out(tempPath);
        WriteSettingsSection(out);
        for (const TFormatEntry& f : AllFormats()) {
            if (!formatFile.SectionExists(FormatSection(f.code))) {
                std::fprintf(stderr, "%s: no section for format %d\n", argv[1], f.code);
                return 1;
            }
            TFailingPrompt prompt;
            StoreFormatDefaults(formatFile, out, prompt, f.code);
            if (!prompt.messages.empty()) {
                std::fprintf(stderr, "format %d: %s\n", f.code, prompt.messages.front().c_str());
                return 1;
            }
            out.WriteString(FormatSection(f.code), "paraZoom", "lbox");
        }
        std::filesystem::rename(tempPath, outPath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
