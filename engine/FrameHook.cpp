#include "engine/FrameHook.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

// Plug-ins stay loaded for the life of the process: file name as given -> dlopen handle.
struct ModuleList {
    std::mutex mutex;  // guards modules
    std::map<std::string, void*> modules;
};

ModuleList& Modules() {
    static ModuleList list;
    return list;
}

// The plug-in's handle, loading it on first use; nullptr (with the reason logged) when it fails.
void* ModuleFor(const std::string& fileName) {
    ModuleList& list = Modules();
    std::lock_guard lock(list.mutex);
    if (auto it = list.modules.find(fileName); it != list.modules.end()) return it->second;
    // A name with a folder part is opened by that path, a bare name through the system's search;
    // the plug-in's own dependencies come through its run path.
    dlerror();
    void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        av_log(nullptr, AV_LOG_ERROR, "%s\n", reason ? reason : "cannot load the plug-in");
        return nullptr;
    }
    list.modules.emplace(fileName, handle);
    return handle;
}

}  // namespace

struct TFrameHookList::Hook {
    std::vector<std::string> args;  // kept for the hook's life: Configure may keep argv pointers
    std::vector<char*> argv;
    void* ctx = nullptr;
    FrameHookProcessFn process = nullptr;
    FrameHookReleaseFn release = nullptr;
};

TFrameHookList::TFrameHookList() = default;
TFrameHookList::~TFrameHookList() { ReleaseAll(); }

int TFrameHookList::Add(const std::vector<std::string>& args) {
    if (args.empty()) return AVERROR(ENOENT);
    const std::string& fileName = args[0];
    try {
        void* module = ModuleFor(fileName);
        if (!module) return -1;

        auto hook = std::make_unique<Hook>();
        auto configure = reinterpret_cast<FrameHookConfigureFn>(dlsym(module, "Configure"));
        hook->process = reinterpret_cast<FrameHookProcessFn>(dlsym(module, "Process"));
        hook->release = reinterpret_cast<FrameHookReleaseFn>(dlsym(module, "Release"));
        if (!hook->process) {
            av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", fileName.c_str());
            return AVERROR(ENOENT);
        }
        if (!configure && args.size() > 1) {
            av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", fileName.c_str());
            return AVERROR(ENOENT);
        }
        hook->args = args;
        for (std::string& a : hook->args) hook->argv.push_back(a.data());
        hook->argv.push_back(nullptr);
        hooks_.reserve(hooks_.size() + 1);  // a configured hook must not be lost to a failed append
        if (configure && configure(&hook->ctx, static_cast<int>(hook->args.size()), hook->argv.data()) != 0) {
            av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", fileName.c_str());
            return AVERROR(EINVAL);
        }
        hooks_.push_back(std::move(hook));
        return 0;
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
}

void TFrameHookList::Process(uint8_t* data[4], int linesize[4], int pixFmt, int width, int height, int64_t pts) {
    for (const auto& hook : hooks_) hook->process(hook->ctx, data, linesize, pixFmt, width, height, pts);
}

void TFrameHookList::ReleaseAll() {
    for (const auto& hook : hooks_)
        if (hook->release) hook->release(hook->ctx);
    hooks_.clear();
}
