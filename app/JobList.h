#pragma once
// The job list without widgets: one row per source file with its check box, its column texts and
// the job record it owns. Add probes every chosen file once through the engine; Remove and Clear
// drop rows; the check commands set the check boxes. The main window mirrors the rows in its list
// view and draws them with the colours below.
//
// Threads: the GUI thread only (the engine's operations are main-thread operations too).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/JobRecord.h"

class TCustomEngineComponent;
class TIniStore;

struct TJobColumn {
    const char* caption;
    int width;
};
inline constexpr TJobColumn kJobColumns[] = {
    {"Source", 140}, {"Length", 65}, {"Trimmed Length", 90}, {"Destination File", 120}, {"Progress", 60}};

struct TJobRow {
    bool Checked = true;
    std::string Caption;          // the source path
    std::string Length;           // whole seconds
    std::string TrimmedLength;    // whole seconds; the trim dialog replaces it
    std::string DestinationName;  // file name of the provisional destination
    std::string Progress;         // "" or "NN%"
    std::unique_ptr<TlvFilesRecord> Record;  // never null
};

// The provisional destination for a source and a suffix ("_ipod." + extension).
using TOutputNameBuilder = std::function<std::string(const std::string& source, const std::string& suffix)>;

class TJobList {
public:
    // The list reads "FormatCode" and "parazoom" from settings and "FileExt" from formatFile at
    // every Add; outputName forms the provisional destinations.
    TJobList(TCustomEngineComponent& engine, const TIniStore& settings, const TIniStore& formatFile,
             TOutputNameBuilder outputName);

    // Adds the chosen paths in their order. Loads the engine's libraries from libraryFolder first
    // and adds nothing, silently, when that fails (the engine keeps the reason). Folders, paths
    // already in the list (compared exactly) and files the engine cannot open are skipped
    // silently. Selects the first row when any row exists. Returns the number of rows added.
    int Add(const std::vector<std::string>& paths, const std::string& libraryFolder);
    // The selected row, or nothing when no row is selected; the engine is not touched.
    void Remove();
    // Every row; the engine's task list is cleared only when there were rows.
    void Clear();

    void CheckAll() { SetAllChecks([](bool) { return true; }); }
    void UncheckAll() { SetAllChecks([](bool) { return false; }); }
    void ReverseCheck() { SetAllChecks([](bool c) { return !c; }); }
    void CheckSelected() { SetSelectedCheck(true); }
    void UncheckSelected() { SetSelectedCheck(false); }

    int Count() const { return static_cast<int>(rows_.size()); }
    const TJobRow& Row(int index) const { return rows_.at(static_cast<size_t>(index)); }
    TJobRow& Row(int index) { return rows_.at(static_cast<size_t>(index)); }
    void SetChecked(int index, bool checked) { Row(index).Checked = checked; }

    int Selected() const { return selected_; }
    // -1 or an index outside the rows selects nothing.
    void Select(int index) { selected_ = (index >= 0 && index < Count()) ? index : -1; }
    // The selected row's record, or null.
    TlvFilesRecord* SelectedRecord() { return selected_ < 0 ? nullptr : Row(selected_).Record.get(); }

    // Called when the list becomes empty through Remove or Clear: the preview has to stop.
    std::function<void()> OnStopPreview;
    // Set by the preview when it wanted to play with an empty list; Add then calls OnStartPreview
    // once and forgets the request.
    bool PreviewRequested = false;
    std::function<void()> OnStartPreview;

private:
    void SetAllChecks(const std::function<bool(bool)>& f);
    void SetSelectedCheck(bool checked);
    bool Contains(const std::string& path) const;
    void StopPreview();

    TCustomEngineComponent& engine_;
    const TIniStore& settings_;
    const TIniStore& formatFile_;
    TOutputNameBuilder outputName_;
    std::vector<TJobRow> rows_;
    int selected_ = -1;
};

// ---- Row colours (0x00BBGGRR) ----
// Background of a row: white for even rows, the theme's tint for odd ones; the selection colour
// (by focus) for the selected row. themeIndex is the "skinIndex" (0..6).
uint32_t JobRowBackground(int rowIndex, int themeIndex, bool selected, bool focused);
// The 1-pixel frame around the selected row.
uint32_t JobRowSelectionFrame(bool focused);
