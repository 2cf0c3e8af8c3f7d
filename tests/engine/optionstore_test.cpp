// The option store: where a library option lands, what Apply copies, and its refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "engine/FFmpegLogger.h"
#include "engine/OptionStore.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {
std::string Text(AVCodecContext* ctx, const char* name) {
    uint8_t* v = nullptr;
    if (av_opt_get(ctx, name, AV_OPT_SEARCH_CHILDREN, &v) < 0 || !v) return "(none)";
    std::string s = reinterpret_cast<char*>(v);
    av_free(v);
    return s;
}
}  // namespace

// Which of the five codec contexts take an option, by the media types its flags name.
TEST(OptionStore, CodecOptionsLandInEveryContextOfTheirMediaTypes) {
    struct Case {
        const char* name;
        const char* value;
        const char* readName;      // name to read back
        bool in[5];                // video, audio, data, subtitle, attachment
        const char* stored;        // value read back where set
    };
    const Case cases[] = {
        {"b", "500k", "b", {true, true, true, false, true}, "500000"},
        {"g", "30", "g", {true, false, true, false, true}, "30"},
        {"ab", "96000", "b", {false, true, true, false, true}, "96000"},
        {"vb", "300000", "b", {true, false, false, false, false}, "300000"},  // the prefix rule
        {"me_method", "umh", "me_method", {true, false, true, false, true}, "umh"},  // an encoder's own option
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TOptionStore store(4);
        std::string defaults[5];
        for (int i = 0; i < 5; ++i) defaults[i] = store.Get(kStoreMediaTypes[i], c.readName);
        ASSERT_TRUE(store.Set(c.name, c.value));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(store.Get(kStoreMediaTypes[i], c.readName), c.in[i] ? c.stored : defaults[i]) << "type " << i;
    }
}

TEST(OptionStore, ContainerScalerAndRefusals) {
    TOptionStore store(4);
    EXPECT_TRUE(store.Set(" packetsize ", " 2048 "));  // trimmed
    EXPECT_EQ(store.FormatContext()->packet_size, 2048u);
    EXPECT_TRUE(store.Set("sws_flags", "bilinear"));
    EXPECT_EQ(store.ScalerFlags(), SWS_BILINEAR);
    EXPECT_TRUE(store.Set("muxrate", "1411200"));  // a muxer's own option
    EXPECT_EQ(store.Names(), (std::vector<std::string>{"packetsize", "sws_flags", "muxrate"}));

    const auto names = store.Names();
    EXPECT_FALSE(store.Set("", "1"));
    EXPECT_FALSE(store.Set("g", "  "));
    EXPECT_FALSE(store.Set("no_such_option", "1"));
    EXPECT_FALSE(store.Set("g", "many"));
    EXPECT_FALSE(store.Set("me_method", "sideways"));
    EXPECT_FALSE(store.Set("muxrate", "fast"));
    EXPECT_EQ(store.Names(), names);
    EXPECT_EQ(store.GetInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
}

TEST(OptionStore, ApplyCopiesOptionsWhoseFlagsMatch) {
    TOptionStore store(4);
    ASSERT_TRUE(store.Set("g", "33"));          // video, encoding
    ASSERT_TRUE(store.Set("ab", "64000"));      // audio, encoding
    ASSERT_TRUE(store.Set("lowres", "1"));      // video, decoding
    ASSERT_TRUE(store.Set("preset", "veryfast"));  // libx264's own (and other encoders')

    const int encodeVideo = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM;
    const int decodeVideo = AV_OPT_FLAG_DECODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM;
    av::CodecContextPtr enc(avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264")));
    store.Apply(enc.get(), AVMEDIA_TYPE_VIDEO, encodeVideo);
    EXPECT_EQ(enc->gop_size, 33);
    EXPECT_EQ(enc->lowres, 0);
    EXPECT_EQ(enc->bit_rate, 0);  // the audio bit rate stays in the audio context
    EXPECT_EQ(Text(enc.get(), "preset"), "veryfast");

    av::CodecContextPtr dec(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_MJPEG)));
    store.Apply(dec.get(), AVMEDIA_TYPE_VIDEO, decodeVideo);
    EXPECT_EQ(dec->lowres, 1);
    EXPECT_EQ(dec->gop_size, 12);

    av::CodecContextPtr audio(avcodec_alloc_context3(avcodec_find_encoder_by_name("mp2")));
    store.Apply(audio.get(), AVMEDIA_TYPE_AUDIO, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM);
    EXPECT_EQ(audio->bit_rate, 64000);
}

TEST(OptionStore, DebugOptionRaisesTheLogLevel) {
    TFFLogger& logger = TFFLogger::Instance();
    const TLogLevel saved = logger.LogLevel();
    logger.SetLogLevel(llInfo);
    {
        TOptionStore store(4);
        ASSERT_TRUE(store.Set("g", "5"));
        EXPECT_EQ(logger.LogLevel(), llInfo);
        ASSERT_TRUE(store.Set("debug", "pict"));
        EXPECT_EQ(logger.LogLevel(), llDebug);
    }
    logger.SetLogLevel(llInfo);
    {
        TOptionStore store(4);
        ASSERT_TRUE(store.Set("fdebug", "ts"));
        EXPECT_EQ(logger.LogLevel(), llDebug);
    }
    logger.SetLogLevel(saved);
}

TEST(OptionStore, DemuxerOptionsTravelAsADictionary) {
    TOptionStore store(4);
    EXPECT_EQ(store.FormatPrivateOptions(), nullptr);
    ASSERT_TRUE(store.Set("loop", "1"));  // the image demuxer's own option
    av::DictionaryPtr dict = store.FormatPrivateOptions();
    ASSERT_NE(dict, nullptr);
    const AVDictionaryEntry* e = av_dict_get(dict.get(), "loop", nullptr, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->value, "1");
}

// A value the common table refuses but an encoder's own option of the same name takes reaches
// that encoder, and a later value the common table takes replaces it.
TEST(OptionStore, EncoderOwnOptionsShadowingCommonOnes) {
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    const int encodeVideo = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM;
    TOptionStore store(4);
    ASSERT_TRUE(store.Set("profile", "high"));
    EXPECT_EQ(store.Get(AVMEDIA_TYPE_VIDEO, "profile"), "high");
    av::CodecContextPtr enc(avcodec_alloc_context3(x264));
    store.Apply(enc.get(), AVMEDIA_TYPE_VIDEO, encodeVideo);
    EXPECT_EQ(enc->profile, FF_PROFILE_UNKNOWN);  // the common option keeps its default
    uint8_t* own = nullptr;
    ASSERT_GE(av_opt_get(enc->priv_data, "profile", 0, &own), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(own), "high");
    av_free(own);

    ASSERT_TRUE(store.Set("profile", "1"));
    av::CodecContextPtr again(avcodec_alloc_context3(x264));
    store.Apply(again.get(), AVMEDIA_TYPE_VIDEO, encodeVideo);
    EXPECT_EQ(again->profile, 1);
    ASSERT_GE(av_opt_get(again->priv_data, "profile", 0, &own), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(own), "");  // nothing was given to the encoder's own option this time
    av_free(own);
}
