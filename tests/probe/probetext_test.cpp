#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "engine/AVPtr.h"
#include "probe/ProbeText.h"

TEST(ProbeText, SizeTextSwitchesUnitAfterEachFullUnit) {
    struct Case {
        int64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 Byte"},
        {1024, "1024 Byte"},
        {1025, "1.00 KB"},
        {1048576, "1024.00 KB"},
        {1048577, "1.00 MB"},
        {1073741824, "1024.00 MB"},
        {1073741825, "1.00 GB"},
        {5LL * 1073741824 + 536870912, "5.50 GB"},  // beyond 32 bits
        {-1, "N/A"},                                // unknown size
    };
    for (const Case& c : cases) EXPECT_EQ(ProbeSizeText(c.bytes), c.text) << c.bytes;
}

TEST(ProbeText, RateItemsRoundToHundredthsAndThousands) {
    struct Case {
        double value;
        const char* unit;
        const char* text;
    };
    const Case cases[] = {
        {25.0, "fps", ", 25 fps"},
        {30000.0 / 1001, "fps", ", 29.97 fps"},
        {24000.0 / 1001, "tbr", ", 23.98 tbr"},
        {12.5, "fps", ", 12.50 fps"},
        {90000.0, "tbn", ", 90k tbn"},
        {1000.0, "tbn", ", 1k tbn"},
        {12800.0, "tbn", ", 12800 tbn"},  // a multiple of 100 but not of 1000
        {44100.0, "tbn", ", 44100 tbn"},
    };
    for (const Case& c : cases) EXPECT_EQ(ProbeRateItem(c.value, c.unit), c.text) << c.value;
}

TEST(ProbeText, SecondsTextKeepsSixDigitsAndTheSign) {
    EXPECT_EQ(ProbeSecondsText(0), "0.000000");
    EXPECT_EQ(ProbeSecondsText(1'400'000), "1.400000");
    EXPECT_EQ(ProbeSecondsText(12'000'007), "12.000007");
    EXPECT_EQ(ProbeSecondsText(-500'000), "-0.500000");
}

TEST(ProbeText, LocalTimeTextUsesTheZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ProbeLocalTimeText(0), "1970-01-01 00:00:00");
    EXPECT_EQ(ProbeLocalTimeText(1262304000 + 3661), "2010-01-01 01:01:01");
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(ProbeLocalTimeText(1262304000), "2010-01-01 01:00:00");  // winter: +1 h
    EXPECT_EQ(ProbeLocalTimeText(1277942400), "2010-07-01 02:00:00");  // summer: +2 h
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

namespace {
av::DictionaryPtr Dict(std::initializer_list<std::pair<const char*, const char*>> entries) {
    AVDictionary* d = nullptr;
    for (const auto& [k, v] : entries) av_dict_set(&d, k, v, AV_DICT_MULTIKEY);
    return av::DictionaryPtr(d);
}
}  // namespace

TEST(ProbeText, MetadataBlockSkipsLanguageAndNamesId3Frames) {
    EXPECT_TRUE(ProbeMetadataBlock(nullptr, "").empty());
    EXPECT_TRUE(ProbeMetadataBlock(Dict({{"language", "eng"}}).get(), "  ").empty());

    const auto block = ProbeMetadataBlock(
        Dict({{"TIT2", "Song"}, {"language", "eng"}, {"TPE1", "Band"}, {"TT2", "Old"}, {"tit2", "Lower"}, {"handler_name", "Sound"}}).get(),
        "  ");
    const std::vector<std::string> expected = {
        "  Metadata:",
        "    title           : Song",
        "    artist          : Band",
        "    title           : Old",
        "    tit2            : Lower",  // frame ids are upper case; anything else is shown as it is
        "    handler_name    : Sound",
    };
    EXPECT_EQ(block, expected);
}

TEST(ProbeText, MetadataBlockIndentsEveryLineOfAMultiLineValue) {
    const auto block = ProbeMetadataBlock(Dict({{"comment", "one\r\ntwo\nthree"}}).get(), "");
    const std::vector<std::string> expected = {
        "Metadata:",
        "  comment         : one",
        "                    two",
        "                    three",
    };
    EXPECT_EQ(block, expected);
}
