#pragma once
// The process-wide library loader. The media libraries are linked into this program, so a library
// that is linked in "loads" at once: it is marked loaded and bound and its registration runs. A
// library that is not linked in (avdevice; SDL when the player library is not in the program) is
// loaded by its shared-object name with dlopen and its entry points are resolved with dlsym, with
// the same messages and set semantics as for every library.
//
// Threads: meant for the main thread; every member takes the loader's lock, so other threads may
// ask Loaded() while the main thread loads.
#include <bitset>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Library indexes: the row of the table and the bit in a library set.
enum TLibraryIndex { liAVCodec, liAVDevice, liAVFilter, liAVFormat, liAVUtil, liSWScale, liMSVCRT, liSDL };
inline constexpr int kLibraryCount = 8;

using TLibrarySet = std::bitset<kLibraryCount>;
TLibrarySet LibrarySet(std::initializer_list<TLibraryIndex> indexes);
// What the engine, its tasks and the probe use.
const TLibrarySet& EngineLibraries();
// The engine set plus SDL: what the player uses.
const TLibrarySet& PlayerLibraries();

// One entry point a library must export when it is loaded by file name.
struct TEntryPoint {
    std::string Name;
    bool Variable = false;
};

// One row of the library table.
struct TLibraryItem {
    int Index = 0;
    std::string Name;
    int MajorVersion = -1;  // -1: none
    // Shared-object name; empty: "lib" + Name + ".so" + ("." + MajorVersion when there is one).
    std::string SharedObjectName;
    // A symbol that is in the process when the library is linked in (empty: never linked in).
    std::string LinkedSymbol;
    std::vector<TEntryPoint> EntryPoints;
    // Runs once the library is bound; resolve gives an entry point's address (linked or loaded).
    // May throw FFmpegException, which fails the binding.
    std::function<void(const std::function<void*(const std::string&)>& resolve)> Register;
};

// The status of one library.
struct TLibraryStatus {
    int Index = 0;
    void* Handle = nullptr;  // dlopen handle (for a linked library: the program's own)
    bool Bound = false;
};

// The eight rows: avcodec, avdevice, avfilter, avformat, avutil, swscale, msvcrt (the C run-time),
// SDL.
std::vector<TLibraryItem> StandardLibraryTable();

class TFFmpegLoader {
public:
    // The one loader of the process, over StandardLibraryTable().
    static TFFmpegLoader& Instance();
    // A loader over another table (at most kLibraryCount rows, Index = position); for tests.
    explicit TFFmpegLoader(std::vector<TLibraryItem> table);
    ~TFFmpegLoader();
    TFFmpegLoader(const TFFmpegLoader&) = delete;
    TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

    void SetLibraryFolder(const std::string& folder);
    std::string LibraryFolder() const;

    // Loads and binds every library of the set in index order; on the first failure unloads
    // every library of the set again and returns false (the reason is in LastError).
    bool Load(const TLibrarySet& set);
    // Every library of the set has a module and is bound.
    bool Loaded(const TLibrarySet& set) const;
    bool LoadOne(int index);
    void UnloadOne(int index);
    std::string LastError() const;

    TLibraryStatus Status(int index) const;
    // Shared-object name of a row ("libavcodec.so.59").
    std::string FileName(int index) const;
    // True when the row's library is linked into the program.
    bool IsLinked(int index) const;

private:
    bool LoadOneLocked(int index);
    void UnloadOneLocked(int index);
    bool Bind(int index, const std::string& fileName);

    const std::vector<TLibraryItem> table_;
    mutable std::mutex mutex_;              // guards every field below
    std::vector<TLibraryStatus> status_;
    std::string folder_;
    std::string lastError_;
};

// Sets the loader's folder and loads the set; on failure copies the loader's last error into
// errorText. What the engine's and the player's LoadLibraries do.
bool LoadLibraries(const std::string& folder, const TLibrarySet& set, std::string& errorText);
