#pragma once
// Frame-hook plug-ins: shared objects with "Configure", "Process" and "Release" (FrameHookApi.h),
// loaded once per process and never unloaded. Each task keeps its own list of added hooks.
//
// Threads: a task adds hooks while it is set up, processes on its worker thread and releases when
// it ends; a TFrameHookList is used by one thread at a time and has no lock. The process-wide
// module list is guarded by its own lock, so tasks on different threads may add hooks at once.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define QUILLMAR_FRAME_HOOK_HOST
#include "engine/FrameHookApi.h"

class TFrameHookList {
public:
    TFrameHookList();
    TFrameHookList(const TFrameHookList&) = delete;
    TFrameHookList& operator=(const TFrameHookList&) = delete;
    // Releases every hook still in the list.
    ~TFrameHookList();

    // args[0] is the plug-in's file name (with a folder part: opened by that path; without: the
    // system's library search), the rest the hook's arguments. Returns 0 when the hook was added;
    // -2 with no arguments or a missing entry point, -1 when the plug-in does not load, -22 when
    // Configure refuses, -12 out of memory. Failures are logged at the libraries' error level.
    int Add(const std::vector<std::string>& args);
    // Calls every hook's Process in the order they were added.
    void Process(uint8_t* data[4], int linesize[4], int pixFmt, int width, int height, int64_t pts);
    // Calls every hook's Release and empties the list.
    void ReleaseAll();

    bool Empty() const { return hooks_.empty(); }
    size_t Count() const { return hooks_.size(); }

private:
    struct Hook;
    std::vector<std::unique_ptr<Hook>> hooks_;
};
