// The INI store: lookups with the Windows reader's rules, lossless rewrites, atomic replacement.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/IniStore.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

using testmedia::FolderEntries;
using testmedia::ReadFile;
using testmedia::WriteFile;




std::string Join(const std::vector<std::string>& lines, const std::string& eol, bool finalEol) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 < lines.size() || finalEol) out += eol;
    }
    return out;
}

// A hand-edited file with every kind of line the reader has to cope with.
const std::vector<std::string> kMessyLines = {
    "orphan=before any section",
    "; a comment=with an equals sign",
    "# another comment",
    "[Settings]",
    "OutPutDir = /home/u/videos  ",
    "snapOutPutDir=/tmp/snaps",
    "garbage line without equals",
    "=no key",
    "[broken header",
    "volume=100",
    "VOLUME=5",
    "quoted=\"  padded  \"",
    "single='x'",
    "half=\"open",
    "empty=",
    "  Indented Key\t=\tv  ",
    "",
    "[formatInfo403]",
    "paraZoom=2",
    "[SETTINGS]",
    "volume=77",
    "lateKey=only in the repeated section",
    "[a]b]",
    "k=v",
};

struct LookupCase {
    const char* section;
    const char* key;
    const char* expected;  // nullptr: missing, the default comes back
};

const LookupCase kLookups[] = {
    {"settings", "outputdir", "/home/u/videos"},
    {"SETTINGS", "SnapOutPutDir", "/tmp/snaps"},
    {"settings", "volume", "100"},  // first duplicate wins
    {"settings", "quoted", "  padded  "},
    {"settings", "single", "x"},
    {"settings", "half", "\"open"},
    {"settings", "empty", ""},
    {"settings", "indented key", "v"},
    {"formatinfo403", "PARAZOOM", "2"},
    {"a]b", "k", "v"},
    {"settings", "lateKey", nullptr},  // the repeated header is not the section
    {"settings", "orphan", nullptr},
    {"", "orphan", nullptr},
    {"settings", "garbage line without equals", nullptr},
    {"settings", "; a comment", nullptr},
    {"settings", "", nullptr},
    {"broken header", "volume", nullptr},
    {"missing", "volume", nullptr},
};

class StoreLookup : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(StoreLookup, FindsValuesByWindowsRules) {
    const auto& [eol, finalEol] = GetParam();
    const std::string path = testmedia::TempDir() + "/messy.ini";
    WriteFile(path, Join(kMessyLines, eol, finalEol));
    TIniStore ini(path);
    for (const LookupCase& c : kLookups) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected ? c.expected : "<def>");
        EXPECT_EQ(ini.ValueExists(c.section, c.key), c.expected != nullptr);
    }
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Settings", "formatInfo403", "a]b"}));
    EXPECT_TRUE(ini.SectionExists("FORMATINFO403"));
    EXPECT_FALSE(ini.SectionExists("broken header"));
    const auto values = ini.ReadSectionValues("settings");
    ASSERT_EQ(values.size(), 8u);
    EXPECT_EQ(values[2], (std::pair<std::string, std::string>{"volume", "100"}));
    EXPECT_EQ(values[7], (std::pair<std::string, std::string>{"Indented Key", "v"}));
    EXPECT_EQ(ini.ReadSection("settings")[1], "snapOutPutDir");
}

INSTANTIATE_TEST_SUITE_P(LineEnds, StoreLookup,
                         ::testing::Values(std::pair<std::string, bool>{"\n", true},
                                           std::pair<std::string, bool>{"\n", false},
                                           std::pair<std::string, bool>{"\r\n", true},
                                           std::pair<std::string, bool>{"\r\n", false}));

TEST(StoreIntegers, LenientParseTable) {
    struct Case {
        const char* text;
        std::optional<int> expected;
    } cases[] = {
        {"12", 12},           {" -3 ", -3},         {"+5", 5},           {"007", 7},
        {"0x1F", 31},         {"0X1f", 31},         {"-0x10", -16},      {"0xFFFFFFFF", -1},
        {"0x7FFFFFFF", INT_MAX},                    {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},                   {"2147483648", {}},  {"-2147483649", {}},
        {"0x100000000", {}},  {"99999999999999999999", {}},               {"12abc", {}},
        {"abc", {}},          {"", {}},             {"  ", {}},          {"1.5", {}},
        {"0x", {}},           {"--1", {}},          {"+", {}},           {"0x1G", {}},
        {"1 2", {}},          {"$10", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(IniParseInteger(c.text), c.expected);
        EXPECT_EQ(IniStrToIntDef(c.text, -77), c.expected.value_or(-77));
    }
}

TEST(StoreIntegers, ReadIntegerAndBoolThroughTheFile) {
    const std::string path = testmedia::TempDir() + "/ints.ini";
    WriteFile(path, "[s]\nhex = 0x10 \r\nquoted=\"42\"\nword=yes\nzero=0\ntwo=2\nneg=-1\nblank=\n");
    TIniStore ini(path);
    EXPECT_EQ(ini.ReadInteger("S", "HEX", 9), 16);
    EXPECT_EQ(ini.ReadInteger("s", "quoted", 9), 42);
    EXPECT_EQ(ini.ReadInteger("s", "word", 9), 9);
    EXPECT_EQ(ini.ReadInteger("s", "blank", 9), 9);
    EXPECT_EQ(ini.ReadInteger("s", "missing", 9), 9);
    struct BoolCase {
        const char* key;
        bool def;
        bool expected;
    } bools[] = {{"zero", true, false}, {"two", false, true}, {"neg", false, true},  {"word", true, true},
                 {"word", false, false}, {"missing", true, true}, {"missing", false, false}};
    for (const BoolCase& b : bools) {
        SCOPED_TRACE(std::string(b.key) + (b.def ? " def 1" : " def 0"));
        EXPECT_EQ(ini.ReadBool("s", b.key, b.def), b.expected);
    }
}

TEST(StoreWrite, ChangesOnlyTheLineItMustAndKeepsLineEnds) {
    for (const std::string eol : {"\n", "\r\n"}) {
        SCOPED_TRACE(eol == "\n" ? "LF" : "CR LF");
        const std::string path = testmedia::TempDir() + "/keep.ini";
        const std::string bom = "\xEF\xBB\xBF";
        WriteFile(path, bom + Join({"; keep me", "[SeTtInGs]", "Volume = 5", "Unknown=kept", "junk", "",
                                    "; trailing comment", "[formatInfo403]", "paraZoom=1"},
                                   eol, false));
        TIniStore ini(path);
        ini.WriteInteger("settings", "VOLUME", 64);    // existing key: stored spelling kept
        ini.WriteString("SETTINGS", "mute", "1");      // new key: after the section's last key
        ini.WriteBool("lstformat", "3", false);        // new section: at the end
        ini.WriteString("formatinfo403", "parazoom", "2");
        EXPECT_EQ(ReadFile(path),
                  bom + Join({"; keep me", "[SeTtInGs]", "Volume=64", "Unknown=kept", "mute=1", "junk", "",
                              "; trailing comment", "[formatInfo403]", "paraZoom=2", "", "[lstformat]", "3=0"},
                             eol, true));
        EXPECT_EQ(ini.ReadInteger("Settings", "volume", 0), 64);
        EXPECT_FALSE(ini.ReadBool("LSTFORMAT", "3", true));
    }
}

TEST(StoreWrite, ValuesReadBackExactly) {
    const std::string path = testmedia::TempDir() + "/roundtrip.ini";
    TIniStore ini(path);
    const std::string values[] = {"",      "plain",   " lead", "trail\t", "\"q\"", "'s'", "a=b;c",
                                  "\"half", "x\"y\"", "\"",   "ünïcödé 名前", "[x]",  "C:\\quillmar"};
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        ini.WriteString("s", "k", v);
        EXPECT_EQ(ini.ReadString("s", "k", "<def>"), v);
        EXPECT_EQ(ini.ReadSectionValues("s").size(), 1u);
    }
}

TEST(StoreWrite, WritingAKeyOfARepeatedSectionGoesToTheFirstOccurrence) {
    const std::string path = testmedia::TempDir() + "/dup.ini";
    WriteFile(path, "[s]\na=1\n[S]\nb=2\na=3\n");
    TIniStore ini(path);
    ini.WriteString("s", "b", "new");
    EXPECT_EQ(ini.ReadString("s", "b", ""), "new");
    EXPECT_EQ(ReadFile(path), "[s]\na=1\nb=new\n[S]\nb=2\na=3\n");
}

TEST(StoreWrite, NoCacheBetweenCalls) {
    const std::string path = testmedia::TempDir() + "/nocache.ini";
    TIniStore ini(path);
    ini.WriteString("s", "a", "1");
    WriteFile(path, "[s]\na=2\nb=3\n");  // another program edits the file
    EXPECT_EQ(ini.ReadString("s", "a", ""), "2");
    ini.WriteString("s", "c", "4");
    EXPECT_EQ(ReadFile(path), "[s]\na=2\nb=3\nc=4\n");
}

TEST(StoreWrite, MissingFileAndFolderAreCreatedOnlyByWrites) {
    const std::string dir = testmedia::TempDir() + "/new/deeper";
    const std::string path = dir + "/created.ini";
    TIniStore ini(path);
    EXPECT_EQ(ini.ReadInteger("settings", "volume", 3), 3);
    EXPECT_TRUE(ini.ReadSections().empty());
    ini.DeleteKey("settings", "volume");
    ini.EraseSection("settings");
    EXPECT_FALSE(fs::exists(dir));
    ini.WriteInteger("settings", "volume", 10);
    EXPECT_EQ(ReadFile(path), "[settings]\nvolume=10\n");
    EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"created.ini"});
}

TEST(StoreWrite, DeleteKeyAndEraseSectionRemoveEveryOccurrence) {
    const std::string path = testmedia::TempDir() + "/erase.ini";
    WriteFile(path, "[a]\nk=1\nK=2\nother=x\n[b]\nk=9\n[A]\nz=1\n");
    TIniStore ini(path);
    ini.DeleteKey("A", "k");
    EXPECT_FALSE(ini.ValueExists("a", "k"));
    EXPECT_EQ(ini.ReadString("b", "k", ""), "9");
    ini.EraseSection("a");
    EXPECT_FALSE(ini.SectionExists("a"));
    EXPECT_EQ(ReadFile(path), "[b]\nk=9\n");
}

TEST(StoreWrite, ThroughASymlinkTheLinkStaysAndModeIsKept) {
    const std::string dir = testmedia::TempDir();
    const std::string real = dir + "/real.ini";
    const std::string link = dir + "/link.ini";
    WriteFile(real, "[s]\na=1\n");
    ::chmod(real.c_str(), 0640);
    fs::create_symlink("real.ini", link);
    TIniStore(link).WriteString("s", "a", "2");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[s]\na=2\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"link.ini", "real.ini"}));
}

TEST(StoreWrite, RefusedWritesNameTheFileAndChangeNothing) {
    const std::string dir = testmedia::TempDir();
    const std::string path = dir + "/refuse.ini";
    const std::string original = "[s]\na=1\n";
    WriteFile(path, original);
    TIniStore ini(path);
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {{"s", "a", "two\nlines"}, {"s", "a", "cr\r"},  {"s", "k=v", "x"},       {"s", "", "x"},
                 {"s", " a", "x"},         {"s", "[x", "x"},    {"s\n[t]", "a", "x"},    {" s", "a", "x"},
                 {"s", ";a", "x"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key + "/" + c.value);
        try {
            ini.WriteString(c.section, c.key, c.value);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        EXPECT_EQ(ReadFile(path), original);
    }
    EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"refuse.ini"});
}

TEST(StoreWrite, FailedReplacementLeavesTheOldFileAndNoTemporaryFile) {
    const std::string dir = testmedia::TempDir();

    // The folder is a regular file.
    WriteFile(dir + "/plain", "x");
    EXPECT_THROW(TIniStore(dir + "/plain/s.ini").WriteString("s", "a", "1"), std::runtime_error);
    EXPECT_EQ(ReadFile(dir + "/plain"), "x");

    // The path names a folder.
    fs::create_directory(dir + "/folder.ini");
    TIniStore folder(dir + "/folder.ini");
    EXPECT_EQ(folder.ReadString("s", "a", "def"), "def");
    EXPECT_THROW(folder.WriteString("s", "a", "1"), std::runtime_error);
    EXPECT_TRUE(fs::is_empty(dir + "/folder.ini"));

    // The path names a FIFO: reading must neither block nor find anything.
    ASSERT_EQ(::mkfifo((dir + "/fifo.ini").c_str(), 0600), 0);
    TIniStore fifo(dir + "/fifo.ini");
    EXPECT_EQ(fifo.ReadInteger("s", "a", 5), 5);
    EXPECT_THROW(fifo.WriteString("s", "a", "1"), std::runtime_error);
    EXPECT_TRUE(fs::is_fifo(dir + "/fifo.ini"));

    // The disk refuses the bytes half way (a file-size limit works even for root).
    const std::string path = dir + "/big.ini";
    const std::string original = "[s]\na=1\n";
    WriteFile(path, original);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        TIniStore(path).WriteString("s", "b", std::string(10000, 'x'));
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_EQ(ReadFile(path), original);

    EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"big.ini", "fifo.ini", "folder.ini", "plain"}));
}

}  // namespace
