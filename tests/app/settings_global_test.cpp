// The application-wide object, file locations, version text, settings rules and the message
// rule of the unhandled-exception handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Version.h"
#include "app/GlobalUnit.h"
#include "engine/Types.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

using testmedia::FolderEntries;
using testmedia::ReadFile;
using testmedia::WriteFile;




// Sets an environment variable for one scope (nullptr: unset) and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

TEST(GlobalObject, SettersIgnoreValuesThatCannotBeMeant) {
    TGlobalObject g(testmedia::TempDir());
    using Getter = const std::string& (TGlobalObject::*)() const;
    using Setter = void (TGlobalObject::*)(const std::string&);
    struct Case {
        const char* field;
        Getter get;
        Setter set;
        const char* value;
        bool taken;
    } cases[] = {
        {"HelpUrl", &TGlobalObject::HelpUrl, &TGlobalObject::SetHelpUrl, "", false},
        {"HelpUrl", &TGlobalObject::HelpUrl, &TGlobalObject::SetHelpUrl, "h", true},
        {"ProductTitle", &TGlobalObject::ProductTitle, &TGlobalObject::SetProductTitle, "", false},
        {"ProductTitle", &TGlobalObject::ProductTitle, &TGlobalObject::SetProductTitle, "Q", true},
        {"VersionText", &TGlobalObject::VersionText, &TGlobalObject::SetVersionText, "", false},
        {"VersionText", &TGlobalObject::VersionText, &TGlobalObject::SetVersionText, " 2 ", true},
        {"WebSiteUrl", &TGlobalObject::WebSiteUrl, &TGlobalObject::SetWebSiteUrl, "", false},
        {"WebSiteUrl", &TGlobalObject::WebSiteUrl, &TGlobalObject::SetWebSiteUrl, "w", true},
        {"SettingsFile", &TGlobalObject::SettingsFile, &TGlobalObject::SetSettingsFile, "", false},
        {"SettingsFile", &TGlobalObject::SettingsFile, &TGlobalObject::SetSettingsFile, "/a/", false},
        {"SettingsFile", &TGlobalObject::SettingsFile, &TGlobalObject::SetSettingsFile, "/é/", false},  // 3 characters, 4 bytes
        {"SettingsFile", &TGlobalObject::SettingsFile, &TGlobalObject::SetSettingsFile, "/a/b", true},
        {"FormatFile", &TGlobalObject::FormatFile, &TGlobalObject::SetFormatFile, "a.i", false},
        {"FormatFile", &TGlobalObject::FormatFile, &TGlobalObject::SetFormatFile, "a.in", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field) + " <- \"" + c.value + "\"");
        const std::string before = (g.*c.get)();
        ASSERT_NE(before, c.value);
        (g.*c.set)(c.value);
        EXPECT_EQ((g.*c.get)(), c.taken ? std::string(c.value) : before);
    }
}

TEST(GlobalObject, StartUpValuesAndCaption) {
    const std::string prefix = testmedia::TempDir();
    const std::string bin = prefix + "/bin";
    fs::create_directories(bin);

    TGlobalObject g(bin);  // no trailing '/' given
    EXPECT_EQ(g.SettingsFile(), bin + "/quillmar.ini");
    EXPECT_EQ(g.FormatFile(), prefix + "/share/quillmar/quillmarformat.ini");
    EXPECT_EQ(g.ProductTitle(), "Quillmar");
    EXPECT_FALSE(g.HelpUrl().empty());
    EXPECT_FALSE(g.WebSiteUrl().empty());
    EXPECT_EQ(MainWindowCaption(g), "Quillmar ver 1.60 ");

    g.SetVersionText(GetFileVersionText());
    EXPECT_EQ(MainWindowCaption(g), std::string("Quillmar ") + QUILLMAR_VERSION_TEXT + " ");

    WriteFile(bin + "/quillmarformat.ini", "[formatInfo1]\n");
    EXPECT_EQ(TGlobalObject(bin + "/").FormatFile(), bin + "/quillmarformat.ini");

    // The default constructor finds the folder of this very test program.
    EXPECT_EQ(ProgramFolder(), fs::canonical("/proc/self/exe").parent_path().string() + "/");
    EXPECT_EQ(TGlobalObject().SettingsFile(), LocateSettingsFile(ProgramFolder()));
}

TEST(GlobalObject, VersionTextFromFourParts) {
    EXPECT_EQ(GetFileVersionText(1, 2, 3, 4), " 1.2.3.4 ");
    EXPECT_EQ(GetFileVersionText(65535, 0, 10, 65535), " 65535.0.10.65535 ");
    EXPECT_EQ(GetFileVersionText(), std::string(" ") + QUILLMAR_VERSION_TEXT + " ");
}

TEST(Locations, SettingsFileBesideTheProgramOrPerUser) {
    struct Case {
        bool exists, writable;
        const char* expected;
    } cases[] = {
        {true, true, "/opt/q/bin/quillmar.ini"},
        {true, false, "/opt/q/bin/quillmar.ini"},  // an existing file is used even where the folder is read-only
        {false, true, "/opt/q/bin/quillmar.ini"},
        {false, false, "/home/u/.config/quillmar/quillmar.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.exists) + std::to_string(c.writable));
        EXPECT_EQ(ChooseSettingsFile("/opt/q/bin", c.exists, c.writable, "/home/u/.config/quillmar/"), c.expected);
    }
    const std::string prog = testmedia::TempDir() + "/";
    EXPECT_EQ(LocateSettingsFile(prog), prog + "quillmar.ini");
    EXPECT_EQ(ShippedSettingsFile("/usr/bin/"), "/usr/share/quillmar/quillmar.ini");
    EXPECT_EQ(InstalledDataFolder("/usr/local/bin"), "/usr/local/share/quillmar/");
}

TEST(Locations, UserFoldersFollowTheEnvironment) {
    ScopedEnv home("HOME", "/home/tester/");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(UserConfigFolder(), "/srv/conf/quillmar/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/conf");
        EXPECT_EQ(UserConfigFolder(), "/home/tester/.config/quillmar/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(UserConfigFolder(), "/home/tester/.config/quillmar/");
    }
    EXPECT_EQ(HomeFolder(), "/home/tester");
    EXPECT_EQ(DefaultOutputDir(), "/home/tester/quillmar");
    ScopedEnv noHome("HOME", nullptr);
    EXPECT_FALSE(HomeFolder().empty());  // from the password database
    EXPECT_EQ(DefaultOutputDir(), (HomeFolder() == "/" ? "" : HomeFolder()) + "/quillmar");
}

TEST(EnsureSettings, CopiesTheShippedFileOnlyWhenNoneExists) {
    const std::string dir = testmedia::TempDir();
    const std::string shipped = dir + "/shipped.ini";
    const std::string shippedText = "[settings]\r\nvolume=50\r\n[formatInfo1]\r\nparaZoom=0\r\n";
    WriteFile(shipped, shippedText);

    const std::string fresh = dir + "/user/config/quillmar.ini";  // folder made as needed
    EXPECT_TRUE(EnsureSettingsFile(fresh, shipped));
    EXPECT_EQ(ReadFile(fresh), shippedText);
    EXPECT_EQ(FolderEntries(dir + "/user/config"), std::vector<std::string>{"quillmar.ini"});

    TAppSettings(fresh).SetVolume(7);  // the user's own choice survives a second start
    EXPECT_FALSE(EnsureSettingsFile(fresh, shipped));
    EXPECT_EQ(TAppSettings(fresh).Volume(), 7);

    const std::string empty = dir + "/empty.ini";  // even an empty file is the user's
    WriteFile(empty, "");
    EXPECT_FALSE(EnsureSettingsFile(empty, shipped));
    EXPECT_EQ(ReadFile(empty), "");

    const std::string none = dir + "/none.ini";  // nothing shipped: defaults apply, no file made
    EXPECT_FALSE(EnsureSettingsFile(none, dir + "/missing.ini"));
    EXPECT_FALSE(fs::exists(none));

    WriteFile(dir + "/plainfile", "x");
    try {
        EnsureSettingsFile(dir + "/plainfile/quillmar.ini", shipped);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir + "/plainfile/quillmar.ini"), std::string::npos) << e.what();
    }
    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"empty.ini", "plainfile", "shipped.ini", "user"}));
}

TEST(AppSettings, StoredValuesAndTheirRules) {
    struct Case {
        const char* stored;  // nullptr: key missing
        int volume;
        int skin;
        std::optional<bool> mute;
    } cases[] = {
        {nullptr, 0, 0, false}, {"0", 0, 0, false},     {"1", 1, 1, true},         {"6", 6, 6, std::nullopt},
        {"7", 7, 0, std::nullopt}, {"9", 9, 0, std::nullopt}, {"128", 128, 0, std::nullopt},
        {"129", 64, 0, std::nullopt}, {"200", 64, 0, std::nullopt}, {"-1", 64, 0, std::nullopt},
        {"0x3", 3, 3, std::nullopt}, {"loud", 0, 0, false},
    };
    const std::string path = testmedia::TempDir() + "/rules.ini";
    TAppSettings settings(path);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        WriteFile(path, c.stored ? std::string("[SETTINGS]\nVOLUME=") + c.stored + "\nSKININDEX=" + c.stored +
                                       "\nMute=" + c.stored + "\n"
                                 : std::string("[settings]\n"));
        EXPECT_EQ(settings.Volume(), c.volume);
        EXPECT_EQ(settings.SkinIndex(), c.skin);
        EXPECT_EQ(settings.Mute(), c.mute);
    }
}

TEST(AppSettings, DefaultsAndWriters) {
    ScopedEnv home("HOME", "/home/tester");
    const std::string path = testmedia::TempDir() + "/defaults.ini";
    TAppSettings settings(path);
    EXPECT_EQ(settings.OutPutDir(), "/home/tester/quillmar");
    EXPECT_EQ(settings.SnapOutPutDir(), "/home/tester/quillmar");
    EXPECT_EQ(settings.OutPutFormat(), 0);
    EXPECT_EQ(settings.FormatCode(), 1);
    EXPECT_EQ(settings.FormatName(), "iPod Video MPEG-4");
    EXPECT_EQ(settings.FormatName(kChooserDefaultFormatName), "Apple iPod Video MPEG-4 Movie (*.mp4)");
    EXPECT_EQ(settings.Priority(), 1);
    EXPECT_EQ(settings.JpgCmp(), 30);
    EXPECT_TRUE(settings.SnapFullSize() && settings.SnapSmallSize() && settings.SnapBmp() && settings.SnapJpg());
    EXPECT_FALSE(fs::exists(path));  // reading never creates the file

    settings.SetSnapOutPutDir("");
    EXPECT_EQ(settings.SnapOutPutDir(), "/home/tester/quillmar");
    settings.SetJpgCmp(85);
    settings.SetJpgCmp(0);  // refused: the stored quality stays
    EXPECT_EQ(settings.JpgCmp(), 85);
    settings.SetSnapBmp(false);
    settings.SetMute(true);
    settings.SetFormatCode(403);
    EXPECT_EQ(ReadFile(path),
              "[settings]\nSnapOutPutDir=/home/tester/quillmar\njpgCmp=85\nsnapBmp=0\nmute=1\nFormatCode=403\n");

    // Spellings other code uses reach the same entries.
    TIniStore& store = settings.Store();
    store.WriteString("Settings", "snapOutPutDir", "/media/snaps");
    store.WriteInteger("settings", "Priority", 3);
    EXPECT_EQ(settings.SnapOutPutDir(), "/media/snaps");
    EXPECT_EQ(settings.Priority(), 3);
}

TEST(ExceptionHandler, FullStopRule) {
    struct Case {
        const char* message;
        const char* shown;
    } cases[] = {
        {"Disk full", "Disk full."}, {"Stop!", "Stop!"},  {"", ""},           {"Done.", "Done."},
        {"code 42", "code 42."},     {"(x)", "(x)"},      {"a,", "a,"},       {"a-", "a-"},
        {"path/", "path/."},         {"é", "é."},         {"tab\t", "tab\t"}, {"?", "?."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(AppExceptionMessage(c.message), c.shown);
    }
}

TEST(ExceptionHandler, EngineErrorsWarnOthersAreErrors) {
    const TExceptionReport engine = DescribeException(std::make_exception_ptr(FFmpegException("Codec not found")));
    EXPECT_EQ(engine.box, TExceptionBox::Warning);
    EXPECT_EQ(engine.message, "Codec not found.");

    const TExceptionReport other = DescribeException(std::make_exception_ptr(std::runtime_error("Out of space!")));
    EXPECT_EQ(other.box, TExceptionBox::Error);
    EXPECT_EQ(other.message, "Out of space!");

    const TExceptionReport odd = DescribeException(std::make_exception_ptr(42));
    EXPECT_EQ(odd.box, TExceptionBox::Error);
    EXPECT_FALSE(odd.message.empty());

    EXPECT_EQ(DescribeException(nullptr).box, TExceptionBox::None);
}

}  // namespace
