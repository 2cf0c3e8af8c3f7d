#include "engine/FFmpegLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "engine/FFUtils.h"
#include "engine/FFmpegLogger.h"
#include "engine/Types.h"
#include "engine/UnicodeProtocol.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

// Floating-point exceptions are masked by default on this platform, so the loader has nothing to
// mask for the libraries' sake.

namespace {

std::vector<TEntryPoint> Functions(std::initializer_list<const char*> names) {
    std::vector<TEntryPoint> out;
    for (const char* n : names) out.push_back({n, false});
    return out;
}

std::string DlErrorText() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

TLibrarySet LibrarySet(std::initializer_list<TLibraryIndex> indexes) {
    TLibrarySet set;
    for (TLibraryIndex i : indexes) set.set(static_cast<size_t>(i));
    return set;
}

const TLibrarySet& EngineLibraries() {
    static const TLibrarySet set = LibrarySet({liAVCodec, liAVFilter, liAVFormat, liAVUtil, liSWScale, liMSVCRT});
    return set;
}

const TLibrarySet& PlayerLibraries() {
    static const TLibrarySet set = EngineLibraries() | LibrarySet({liSDL});
    return set;
}

// Linked libraries need no binding; the entry points listed here are checked only when a library
// is loaded by file name, and stand for the facilities the system uses from it, so that a library
// of another generation is refused with a message instead of failing later.
std::vector<TLibraryItem> StandardLibraryTable() {
    std::vector<TLibraryItem> t(kLibraryCount);
    t[liAVCodec] = {liAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR, "", "avcodec_version",
                    Functions({"avcodec_version", "avcodec_find_decoder", "avcodec_find_encoder_by_name",
                               "avcodec_open2", "avcodec_send_packet", "avcodec_receive_frame", "avcodec_send_frame",
                               "avcodec_receive_packet", "avcodec_free_context"}),
                    {}};
    // avdevice's major version moves with avformat's; its headers are not part of the build.
    t[liAVDevice] = {liAVDevice, "avdevice", LIBAVFORMAT_VERSION_MAJOR, "", "avdevice_version",
                     Functions({"avdevice_version", "avdevice_register_all"}),
                     [](const auto& resolve) {
                         reinterpret_cast<void (*)()>(resolve("avdevice_register_all"))();
                     }};
    t[liAVFilter] = {liAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR, "", "avfilter_version",
                     Functions({"avfilter_version", "avfilter_get_by_name", "avfilter_graph_alloc",
                                "avfilter_graph_create_filter", "avfilter_graph_config", "av_buffersrc_add_frame",
                                "av_buffersink_get_frame"}),
                     {}};
    t[liAVFormat] = {liAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR, "", "avformat_version",
                     Functions({"avformat_version", "avformat_open_input", "avformat_find_stream_info",
                                "av_read_frame", "avformat_alloc_output_context2", "av_interleaved_write_frame",
                                "av_write_trailer", "avio_alloc_context", "avio_open2"}),
                     [](const auto&) { RegisterUnicodeProtocol(); }};
    t[liAVUtil] = {liAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR, "", "avutil_version",
                   Functions({"avutil_version", "av_log", "av_log_set_callback", "av_log_set_level",
                              "av_log_get_level", "av_malloc", "av_free", "av_rescale_q"}),
                   [](const auto&) { TFFLogger::Instance().HookLibraryLog(); }};
    t[liSWScale] = {liSWScale, "swscale", LIBSWSCALE_VERSION_MAJOR, "", "swscale_version",
                    Functions({"swscale_version", "sws_getCachedContext", "sws_scale", "sws_freeContext"}), {}};
    // One C run-time serves the program and the libraries here; it is always in the process.
    t[liMSVCRT] = {liMSVCRT, "msvcrt", -1, "libc.so.6", "fopen",
                   Functions({"fopen", "fclose", "fread", "fwrite", "fseek", "ftell"}), {}};
    // Linked in when the player library is part of the program; otherwise loaded by name.
    t[liSDL] = {liSDL, "SDL", -1, "libSDL2-2.0.so.0", "SDL_Init",
                Functions({"SDL_Init", "SDL_Quit", "SDL_GetError", "SDL_OpenAudio", "SDL_PauseAudio",
                           "SDL_CloseAudio", "SDL_MixAudio"}),
                {}};
    return t;
}

TFFmpegLoader& TFFmpegLoader::Instance() {
    static TFFmpegLoader loader(StandardLibraryTable());
    return loader;
}

TFFmpegLoader::TFFmpegLoader(std::vector<TLibraryItem> table) : table_(std::move(table)) {
    if (table_.size() > static_cast<size_t>(kLibraryCount))
        throw FFmpegException(Format("A library table holds at most %d rows.", kLibraryCount));
    for (size_t i = 0; i < table_.size(); ++i) status_.push_back({static_cast<int>(i), nullptr, false});
}

TFFmpegLoader::~TFFmpegLoader() {
    // Libraries stay until the process ends: handles are dropped, not closed, so that nothing a
    // library registered elsewhere is pulled away during shut-down.
}

void TFFmpegLoader::SetLibraryFolder(const std::string& folder) {
    std::lock_guard lock(mutex_);
    folder_ = folder;
}

std::string TFFmpegLoader::LibraryFolder() const {
    std::lock_guard lock(mutex_);
    return folder_;
}

std::string TFFmpegLoader::LastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

TLibraryStatus TFFmpegLoader::Status(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || static_cast<size_t>(index) >= status_.size()) return {index, nullptr, false};
    return status_[static_cast<size_t>(index)];
}

std::string TFFmpegLoader::FileName(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= table_.size()) return {};
    const TLibraryItem& row = table_[static_cast<size_t>(index)];
    if (!row.SharedObjectName.empty()) return row.SharedObjectName;
    std::string name = "lib" + row.Name + ".so";
    if (row.MajorVersion >= 0) name += "." + std::to_string(row.MajorVersion);
    return name;
}

bool TFFmpegLoader::IsLinked(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= table_.size()) return false;
    const std::string& symbol = table_[static_cast<size_t>(index)].LinkedSymbol;
    return !symbol.empty() && dlsym(RTLD_DEFAULT, symbol.c_str()) != nullptr;
}

bool TFFmpegLoader::Load(const TLibrarySet& set) {
    std::lock_guard lock(mutex_);
    TLibrarySet loadedHere;
    for (size_t i = 0; i < status_.size(); ++i) {
        if (!set.test(i)) continue;
        const bool before = status_[i].Handle && status_[i].Bound;
        if (LoadOneLocked(static_cast<int>(i))) {
            if (!before) loadedHere.set(i);
            continue;
        }
        // Only what this call loaded goes again: a library another component already loaded
        // may be in use right now.
        for (size_t j = 0; j < status_.size(); ++j)
            if (loadedHere.test(j)) UnloadOneLocked(static_cast<int>(j));
        return false;
    }
    return true;
}

bool TFFmpegLoader::Loaded(const TLibrarySet& set) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < kLibraryCount; ++i) {
        if (!set.test(i)) continue;
        if (i >= status_.size() || !status_[i].Handle || !status_[i].Bound) return false;
    }
    return true;
}

bool TFFmpegLoader::LoadOne(int index) {
    std::lock_guard lock(mutex_);
    return LoadOneLocked(index);
}

void TFFmpegLoader::UnloadOne(int index) {
    std::lock_guard lock(mutex_);
    UnloadOneLocked(index);
}

bool TFFmpegLoader::LoadOneLocked(int index) {
    if (index < 0 || static_cast<size_t>(index) >= status_.size()) {
        lastError_ = Format("Load library %d error: %s", index, "no such library");
        return false;
    }
    TLibraryStatus& st = status_[static_cast<size_t>(index)];
    const std::string fileName = FileName(index);
    if (!st.Handle) {
        if (IsLinked(index)) {
            dlerror();
            st.Handle = dlopen(nullptr, RTLD_NOW);
            if (!st.Handle) {
                lastError_ = Format("Load library %s error: %s", fileName.c_str(), DlErrorText().c_str());
                return false;
            }
        } else {
            std::string folder, bare = fileName;
            const size_t slash = fileName.rfind('/');
            if (slash != std::string::npos) {
                folder = fileName.substr(0, slash + 1);
                bare = fileName.substr(slash + 1);
            } else if (!folder_.empty()) {
                folder = folder_.back() == '/' ? folder_ : folder_ + "/";
            }
            // The library's own dependencies are found through its run path, so unlike a search
            // path change this needs nothing else. RTLD_NODELETE: a library that registered
            // itself with another one (avdevice) must never be unmapped.
            const std::string path = folder + bare;
            const int flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
            dlerror();
            st.Handle = !folder.empty() && IsRegularFile(path) ? dlopen(path.c_str(), flags)
                                                                : dlopen(bare.c_str(), flags);
            if (!st.Handle) {
                lastError_ = Format("Load library %s error: %s", path.c_str(), DlErrorText().c_str());
                return false;
            }
        }
    }
    if (!st.Bound) {
        try {
            st.Bound = Bind(index, fileName);
        } catch (const FFmpegException& e) {
            lastError_ = e.what();
        }
    }
    if (!st.Bound) UnloadOneLocked(index);
    return st.Bound;
}

bool TFFmpegLoader::Bind(int index, const std::string& fileName) {
    const TLibraryItem& row = table_[static_cast<size_t>(index)];
    void* handle = status_[static_cast<size_t>(index)].Handle;
    for (const TEntryPoint& e : row.EntryPoints) {
        dlerror();
        if (dlsym(handle, e.Name.c_str())) continue;
        throw FFmpegException(Format(e.Variable ? "Load variable %s@%s error: %s" : "Load function %s@%s error: %s",
                                     e.Name.c_str(), fileName.c_str(), DlErrorText().c_str()));
    }
    if (row.Register) row.Register([handle](const std::string& name) { return dlsym(handle, name.c_str()); });
    return true;
}

void TFFmpegLoader::UnloadOneLocked(int index) {
    if (index < 0 || static_cast<size_t>(index) >= status_.size()) return;
    TLibraryStatus& st = status_[static_cast<size_t>(index)];
    if (st.Handle) dlclose(st.Handle);
    st.Handle = nullptr;
    st.Bound = false;
}

bool LoadLibraries(const std::string& folder, const TLibrarySet& set, std::string& errorText) {
    TFFmpegLoader& loader = TFFmpegLoader::Instance();
    loader.SetLibraryFolder(folder);
    if (loader.Load(set)) return true;
    errorText = loader.LastError();
    return false;
}
