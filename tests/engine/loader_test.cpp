#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "engine/FFmpegLoader.h"
#include "engine/FFmpegLogger.h"
#include "engine/Types.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const std::string kPluginDir = QUILLMAR_TEST_PLUGIN_DIR;

// A folder holding a file by the library's name that is not a shared object.
std::string FolderWithBrokenLibrary(const std::string& fileName) {
    const std::string dir = testmedia::TempDir();
    std::ofstream(dir + "/" + fileName) << "not a shared object\n";
    return dir;
}

TLibraryItem Row(int index, const std::string& name, int major, std::vector<TEntryPoint> entryPoints) {
    TLibraryItem row;
    row.Index = index;
    row.Name = name;
    row.MajorVersion = major;
    row.EntryPoints = std::move(entryPoints);
    return row;
}

}  // namespace

TEST(FFmpegLoader, StandardTableNamesAndSets) {
    TFFmpegLoader loader(StandardLibraryTable());
    // What this program links is bound at once; the rest (here: what the linker left out of a
    // test program) is loaded by the name the rule gives.
    for (int i : {liAVFormat, liAVUtil, liMSVCRT}) EXPECT_TRUE(loader.IsLinked(i)) << i;
    EXPECT_FALSE(loader.IsLinked(liAVDevice));
    EXPECT_EQ(loader.FileName(liAVCodec), "libavcodec.so.59");
    EXPECT_EQ(loader.FileName(liAVDevice), "libavdevice.so.59");
    EXPECT_EQ(loader.FileName(liSDL), "libSDL2-2.0.so.0");

    EXPECT_EQ(EngineLibraries(), LibrarySet({liAVCodec, liAVFilter, liAVFormat, liAVUtil, liSWScale, liMSVCRT}));
    EXPECT_EQ(PlayerLibraries(), EngineLibraries() | LibrarySet({liSDL}));

    EXPECT_FALSE(loader.Loaded(EngineLibraries()));
    EXPECT_TRUE(loader.Load(EngineLibraries()));
    EXPECT_TRUE(loader.Loaded(EngineLibraries()));
    EXPECT_FALSE(loader.Loaded(PlayerLibraries()));
    EXPECT_FALSE(loader.Status(liAVDevice).Bound);
    EXPECT_TRUE(loader.Load(PlayerLibraries()));
    EXPECT_TRUE(loader.Loaded(PlayerLibraries()));
    EXPECT_EQ(loader.LastError(), "");
    // Every name is that of a library now in the process.
    for (int i = 0; i < kLibraryCount; ++i) {
        if (!PlayerLibraries().test(static_cast<size_t>(i))) continue;
        void* h = dlopen(loader.FileName(i).c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(h, nullptr) << loader.FileName(i);
        if (h) dlclose(h);
    }
}

TEST(FFmpegLoader, BindingAvutilHooksTheLibraryLog) {
    av_log_set_callback(av_log_default_callback);
    std::vector<std::string> lines;
    TFFLogger& logger = TFFLogger::Instance();
    logger.SetTriggerEventInMainThread(false);
    logger.SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& m) { lines.push_back(m); });
    av_log(nullptr, AV_LOG_ERROR, "before\n");
    TFFmpegLoader loader(StandardLibraryTable());
    ASSERT_TRUE(loader.LoadOne(liAVUtil));
    av_log(nullptr, AV_LOG_ERROR, "after\n");
    logger.SetOnLog({});
    EXPECT_EQ(lines, std::vector<std::string>{"after"});
}

TEST(FFmpegLoader, FailedSetLoadUnloadsWhatItLoaded) {
    const std::string dir = FolderWithBrokenLibrary("libavdevice.so.59");
    for (const std::string& folder : {dir, dir + "/"}) {
        TFFmpegLoader loader(StandardLibraryTable());
        loader.SetLibraryFolder(folder);
        EXPECT_FALSE(loader.Load(LibrarySet({liAVCodec, liAVDevice, liAVFormat})));
        EXPECT_EQ(loader.LastError().rfind("Load library " + dir + "/libavdevice.so.59 error: " + dir +
                                               "/libavdevice.so.59: ",
                                           0),
                  0u)
            << loader.LastError();
        for (int i : {liAVCodec, liAVDevice, liAVFormat}) {
            EXPECT_EQ(loader.Status(i).Handle, nullptr) << i;
            EXPECT_FALSE(loader.Status(i).Bound) << i;
        }
    }
    // What was loaded before the failing call stays loaded: the engine may be using it.
    TFFmpegLoader loader(StandardLibraryTable());
    loader.SetLibraryFolder(dir);
    ASSERT_TRUE(loader.Load(EngineLibraries()));
    EXPECT_FALSE(loader.Load(PlayerLibraries() | LibrarySet({liAVDevice})));
    EXPECT_TRUE(loader.Loaded(EngineLibraries()));
    EXPECT_FALSE(loader.Loaded(LibrarySet({liSDL})));
}

TEST(FFmpegLoader, LoadsByFileNameAndNamesWhatFails) {
    const std::string lib = kPluginDir + "/libtest_vhook.so";
    std::vector<TLibraryItem> table = {
        Row(0, "test_vhook", -1, {{"Configure"}, {"Process"}, {"TestHookState", true}}),
        Row(1, "test_vhook", -1, {{"Process"}, {"NoSuchFunction"}}),
        Row(2, "test_vhook", -1, {{"NoSuchVariable", true}}),
        Row(3, "absent", -1, {}),
        Row(4, "test_vhook", 3, {}),
        Row(5, "test_vhook", -1, {}),
        Row(6, "", -1, {{"Release"}}),
    };
    table[5].Register = [](const auto&) { throw FFmpegException("registration refused"); };
    table[6].SharedObjectName = lib;  // a name with a folder part is loaded from there
    bool registered = false;
    table[0].Register = [&](const auto& resolve) { registered = resolve("Process") != nullptr; };

    struct Case {
        int index;
        bool loads;
        std::string error;
    };
    const Case cases[] = {
        {0, true, ""},
        {1, false, "Load function NoSuchFunction@libtest_vhook.so error: " + lib + ": undefined symbol: NoSuchFunction"},
        {2, false, "Load variable NoSuchVariable@libtest_vhook.so error: " + lib + ": undefined symbol: NoSuchVariable"},
        {3, false,
         "Load library " + kPluginDir + "/libabsent.so error: libabsent.so: cannot open shared object file: "
         "No such file or directory"},
        {4, false,
         "Load library " + kPluginDir + "/libtest_vhook.so.3 error: libtest_vhook.so.3: cannot open shared object "
         "file: No such file or directory"},
        {5, false, "registration refused"},
        {6, true, ""},
    };
    TFFmpegLoader loader(table);
    loader.SetLibraryFolder(kPluginDir);
    for (const Case& c : cases) {
        EXPECT_EQ(loader.LoadOne(c.index), c.loads) << c.index;
        EXPECT_EQ(loader.Status(c.index).Bound, c.loads) << c.index;
        EXPECT_EQ(loader.Status(c.index).Handle != nullptr, c.loads) << c.index;
        if (!c.loads) {
            EXPECT_EQ(loader.LastError(), c.error) << c.index;
        }
    }
    EXPECT_TRUE(registered);

    // Without a folder the bare name goes through the system's search, which does not know it.
    TFFmpegLoader noFolder(table);
    EXPECT_FALSE(noFolder.LoadOne(0));
    EXPECT_EQ(noFolder.LastError().rfind("Load library libtest_vhook.so error: libtest_vhook.so: ", 0), 0u)
        << noFolder.LastError();

    // Load one, unload one.
    loader.UnloadOne(0);
    EXPECT_FALSE(loader.Loaded(LibrarySet({TLibraryIndex(0)})));
    EXPECT_TRUE(loader.Load(LibrarySet({TLibraryIndex(0), TLibraryIndex(6)})));
    EXPECT_FALSE(loader.Load(LibrarySet({TLibraryIndex(0), TLibraryIndex(1)})));
    EXPECT_TRUE(loader.Loaded(LibrarySet({TLibraryIndex(0), TLibraryIndex(6)})));
}

TEST(FFmpegLoader, LoadLibrariesCopiesTheLoadersError) {
    std::string error = "untouched";
    EXPECT_TRUE(LoadLibraries(testmedia::TempDir(), PlayerLibraries(), error));
    EXPECT_EQ(error, "untouched");
    EXPECT_TRUE(TFFmpegLoader::Instance().Loaded(PlayerLibraries()));

    const std::string dir = FolderWithBrokenLibrary("libavdevice.so.59");
    EXPECT_FALSE(LoadLibraries(dir, LibrarySet({liAVDevice}), error));
    EXPECT_EQ(error, TFFmpegLoader::Instance().LastError());
    EXPECT_EQ(error.rfind("Load library " + dir + "/libavdevice.so.59 error: ", 0), 0u) << error;
    EXPECT_EQ(TFFmpegLoader::Instance().LibraryFolder(), dir);
    EXPECT_TRUE(TFFmpegLoader::Instance().Loaded(PlayerLibraries()));
}
