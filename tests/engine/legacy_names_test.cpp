// The translation of legacy encoder and option names: one check per table row, each through the
// library, so that a row whose today's name the library does not know fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/AVPtr.h"
#include "engine/LegacyNames.h"
#include "engine/OptionStore.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Read(AVCodecContext* ctx, const std::string& name) {
    uint8_t* v = nullptr;
    if (av_opt_get(ctx, name.c_str(), AV_OPT_SEARCH_CHILDREN, &v) < 0 || !v) return "(none)";
    std::string s = reinterpret_cast<char*>(v);
    av_free(v);
    return s;
}
}  // namespace

TEST(LegacyNames, EncoderRowsNameEncodersOfTodaysLibraries) {
    const std::pair<const char*, const char*> expected[] = {{"libfaac", "aac"}, {"libflac", "flac"}, {"vorbis", "libvorbis"}};
    ASSERT_EQ(LegacyEncoderTable().size(), std::size(expected));
    for (const auto& [legacy, today] : expected) {
        EXPECT_EQ(TodayEncoderName(legacy), today);
        EXPECT_NE(avcodec_find_encoder_by_name(TodayEncoderName(legacy).c_str()), nullptr) << legacy;
    }
    EXPECT_EQ(TodayEncoderName("libx264"), "libx264");
    EXPECT_EQ(TodayEncoderName("Vorbis"), "Vorbis");  // names match exactly, as the library's do
}

// Each option row, given in its legacy form to the store, arrives in a real encoder.
TEST(LegacyNames, OptionRowsReachTheEncoder) {
    struct Case {
        const char* legacyName;
        const char* legacyValue;
        Pairs today;
        const char* encoder;
        const char* readName;
        const char* readValue;
    };
    const std::vector<Case> cases = {
        {"directpred", "3", {{"direct-pred", "3"}}, "libx264", "direct-pred", "3"},
        {"cqp", "0", {{"qp", "0"}}, "libx264", "qp", "0"},
        {"flags2", "+wpred", {{"weightb", "1"}}, "libx264", "weightb", "true"},
        {"flags2", "-wpred", {{"weightb", "0"}}, "libx264", "weightb", "false"},
        {"flags2", "-dct8x8", {{"8x8dct", "0"}}, "libx264", "8x8dct", "false"},
        {"flags2", "+bpyramid", {{"b-pyramid", "normal"}}, "libx264", "b-pyramid", "2"},
        {"flags2", "-bpyramid", {{"b-pyramid", "none"}}, "libx264", "b-pyramid", "0"},
        {"flags2", "+mixed_refs", {{"mixed-refs", "1"}}, "libx264", "mixed-refs", "true"},
        {"flags2", "-fastpskip", {{"fast-pskip", "0"}}, "libx264", "fast-pskip", "false"},
        {"flags", "+scan_offset", {{"scan_offset", "1"}}, "mpeg2video", "scan_offset", "true"},
        {"partitions", "+parti8x8+parti4x4-partp8x8+partb8x8", {{"partitions", "i8x8,i4x4,b8x8"}}, "libx264", "partitions", "i8x8,i4x4,b8x8"},
        {"partitions", "-parti8x8-parti4x4", {{"partitions", "none"}}, "libx264", "partitions", "none"},
    };
    // Every option row is used above.
    for (const TLegacyOptionRow& row : LegacyOptionTable()) {
        const std::string n = row.legacyName;
        const bool used = std::any_of(cases.begin(), cases.end(), [&](const Case& c) {
            const std::string part = std::string(c.legacyName) + ":" + (c.legacyValue + 1);
            return n == c.legacyName || n == part;
        });
        EXPECT_TRUE(used) << "no case for " << n;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.legacyName) + "=" + c.legacyValue);
        EXPECT_EQ(TodayOptions(c.legacyName, c.legacyValue), c.today);
        TOptionStore store(4);
        ASSERT_TRUE(store.Set(c.legacyName, c.legacyValue));
        const AVCodec* codec = avcodec_find_encoder_by_name(c.encoder);
        ASSERT_NE(codec, nullptr);
        av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
        store.Apply(ctx.get(), AVMEDIA_TYPE_VIDEO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM);
        EXPECT_EQ(Read(ctx.get(), c.readName), c.readValue);
    }
}

TEST(LegacyNames, FlagValuesKeepTheirLivingParts) {
    EXPECT_EQ(TodayOptions("flags2", "+wpred+fast-dct8x8"), (Pairs{{"weightb", "1"}, {"8x8dct", "0"}, {"flags2", "+fast"}}));
    EXPECT_EQ(TodayOptions("flags", "+loop+scan_offset+gray"), (Pairs{{"scan_offset", "1"}, {"flags", "+loop+gray"}}));
    EXPECT_EQ(TodayOptions("flags2", "fast"), (Pairs{{"flags2", "fast"}}));
    EXPECT_EQ(TodayOptions("partitions", "all"), (Pairs{{"partitions", "all"}}));  // today's syntax passes
    EXPECT_EQ(TodayOptions("me_method", "umh"), (Pairs{{"me_method", "umh"}}));    // still known as it is
}
