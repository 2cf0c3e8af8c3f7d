#include "app/JobList.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/FormatCatalogue.h"
#include "app/GlobalUnit.h"
#include "app/IniStore.h"
#include "engine/EngineComponent.h"
#include "probe/AVProbe.h"

namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

std::string FileNameOf(const std::string& path) { return std::filesystem::path(path).filename().string(); }

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

}  // namespace

TJobList::TJobList(TCustomEngineComponent& engine, const TIniStore& settings, const TIniStore& formatFile,
                   TOutputNameBuilder outputName)
    : engine_(engine), settings_(settings), formatFile_(formatFile), outputName_(std::move(outputName)) {}

bool TJobList::Contains(const std::string& path) const {
    return std::any_of(rows_.begin(), rows_.end(), [&](const TJobRow& r) { return r.Caption == path; });
}

int TJobList::Add(const std::vector<std::string>& paths, const std::string& libraryFolder) {
    if (!engine_.LoadLibraries(libraryFolder)) return 0;
    engine_.ClearTasks();
    const int code = settings_.ReadInteger(kSettingsSection, kKeyFormatCode, kDefaultFormatCode);
    const std::string section = FormatSection(code);
    const std::string suffix = "_ipod." + formatFile_.ReadString(section, "FileExt", "mp4");
    const std::string zoom = settings_.ReadString(section, "parazoom", "lbox");

    int added = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        if (IsFolder(path) || Contains(path)) continue;
        const std::string dest = outputName_(path, suffix);
        const int task = engine_.AddTask(path);
        if (task < 0) continue;
        int64_t duration = -1;
        if (TAVProbe* probe = engine_.InputProbe(task, 0)) duration = probe->FileStreamInfo().Duration;
        const int32_t seconds = duration > 0 ? static_cast<int32_t>(duration / 1000000) : 0;

        TJobRow row;
        row.Caption = path;
        row.Length = row.TrimmedLength = std::to_string(seconds);
        row.DestinationName = FileNameOf(dest);
        row.Record = std::make_unique<TlvFilesRecord>();
        row.Record->AddIndex = static_cast<int32_t>(i);
        row.Record->SourceFile = path;
        row.Record->DestFile = dest;
        row.Record->DurationSec = seconds;
        row.Record->Zoom = zoom;
        rows_.push_back(std::move(row));
        ++added;

        // The task served only to open and probe the file.
        engine_.RemoveTask(task);
        engine_.ClearTasks();
    }
    if (!rows_.empty()) selected_ = 0;
    if (PreviewRequested) {
        PreviewRequested = false;
        if (OnStartPreview) OnStartPreview();
    }
    return added;
}

void TJobList::Remove() {
    if (selected_ < 0 || selected_ >= Count()) return;
    rows_.erase(rows_.begin() + selected_);
    if (rows_.empty()) {
        selected_ = -1;
        StopPreview();
    } else {
        selected_ = std::min(selected_, Count() - 1);
    }
}

void TJobList::Clear() {
    if (rows_.empty()) return;
    engine_.ClearTasks();
    rows_.clear();
    selected_ = -1;
    StopPreview();
}

void TJobList::StopPreview() {
    if (OnStopPreview) OnStopPreview();
}

void TJobList::SetAllChecks(const std::function<bool(bool)>& f) {
    for (TJobRow& r : rows_) r.Checked = f(r.Checked);
}

void TJobList::SetSelectedCheck(bool checked) {
    if (selected_ >= 0 && selected_ < Count()) rows_[static_cast<size_t>(selected_)].Checked = checked;
}

uint32_t JobRowBackground(int rowIndex, int themeIndex, bool selected, bool focused) {
    if (selected) return focused ? Rgb(185, 204, 236) : Rgb(229, 236, 248);
    if (rowIndex % 2 == 0) return Rgb(255, 255, 255);
    static constexpr uint32_t kTints[] = {Rgb(226, 230, 246), Rgb(236, 236, 236), Rgb(248, 242, 224),
                                          Rgb(246, 230, 241), Rgb(247, 225, 225), Rgb(226, 247, 225),
                                          Rgb(225, 240, 247)};
    if (themeIndex >= 0 && themeIndex < static_cast<int>(std::size(kTints))) return kTints[themeIndex];
    return Rgb(235, 235, 235);
}

uint32_t JobRowSelectionFrame(bool focused) { return focused ? Rgb(122, 160, 218) : Rgb(152, 181, 226); }
