#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/AVPtr.h"
#include "engine/FFUtils.h"
#include "engine/UnicodeProtocol.h"
#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace {

int OpenDescriptorCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

struct PacketTally {
    int packets = 0;
    int64_t bytes = 0;
};

// Opens through OpenInputFile, reads stream information and every packet.
PacketTally ReadAll(const std::string& libraryName) {
    AVFormatContext* raw = nullptr;
    const int ret = OpenInputFile(&raw, libraryName, nullptr, nullptr);
    EXPECT_EQ(ret, 0) << LibraryErrorText(libraryName, ret);
    av::InputContextPtr ctx(raw);
    PacketTally t;
    if (!ctx) return t;
    EXPECT_GE(avformat_find_stream_info(ctx.get(), nullptr), 0);
    EXPECT_EQ(std::string(ctx->url), libraryName);  // messages name the file as it was given
    av::PacketPtr pkt = av::MakePacket();
    while (av_read_frame(ctx.get(), pkt.get()) >= 0) {
        ++t.packets;
        t.bytes += pkt->size;
        av_packet_unref(pkt.get());
    }
    return t;
}

std::string CopyFixture(const std::string& fixture, const std::string& dest) {
    fs::copy_file(testmedia::Fixture(fixture), dest, fs::copy_options::overwrite_existing);
    return dest;
}

}  // namespace

TEST(UnicodeProtocol, LibraryFileNameTranslation) {
    struct Case {
        std::string name;
        std::string library;
    };
    const std::string w = kUnicodeUrlPrefix;
    const Case cases[] = {
        {"/tmp/a.mp4", "/tmp/a.mp4"},
        {"/tmp/Grüße – 東京.mp4", "/tmp/Grüße – 東京.mp4"},  // UTF-8 is the narrow form here
        {"/tmp/a:b/c.mp4", "/tmp/a:b/c.mp4"},
        {"http://host/a.mp4", "http://host/a.mp4"},
        {"udp://10.0.0.1:1234", "udp://10.0.0.1:1234"},
        {"pipe:0", "pipe:0"},
        {"unicode:utf8:/tmp/x.mp4", "unicode:utf8:/tmp/x.mp4"},
        {"https://host/a.mp4", "https://host/a.mp4"},  // a protocol the libraries have
        {"file:/tmp/a.mp4", "file:/tmp/a.mp4"},
        // Relative names the libraries would read as a URL of an unknown protocol and fail on.
        {"clip:1.mp4", w + "clip:1.mp4"},
        {"C:\\video\\a.avi", w + "C:\\video\\a.avi"},
        {"HTTP:x.mp4", w + "HTTP:x.mp4"},  // the list is case-sensitive, and so are the libraries
        // Bytes that are not UTF-8 cannot pass as narrow text.
        {"/tmp/\xff\xfe.mp4", w + "/tmp/\xff\xfe.mp4"},
        {"/tmp/\xc0\xaf.mp4", w + "/tmp/\xc0\xaf.mp4"},  // overlong "/"
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LibraryFileName(c.name), c.library) << c.name;
        if (!IsUnicodeUrl(c.name)) {
            EXPECT_EQ(WideFileName(LibraryFileName(c.name)), c.name) << c.name;
        }
    }
}

TEST(UnicodeProtocol, WideFileName) {
    struct Case {
        std::string library;
        std::string wide;
    };
    const Case cases[] = {
        {"unicode:utf8:/tmp/ü.mp4", "/tmp/ü.mp4"},
        {"unicode:utf8:x", "x"},
        {"unicode:utf8:", "unicode:utf8:"},  // only the prefix: a plain name
        {"unicode:other:/a", "unicode:other:/a"},
        {"/tmp/a.mp4", "/tmp/a.mp4"},
    };
    for (const Case& c : cases) EXPECT_EQ(WideFileName(c.library), c.wide) << c.library;
}

TEST(UnicodeProtocol, OpensNonAsciiNameAndReadsSamePackets) {
    const std::string dir = testmedia::TempDir();
    const std::string path = CopyFixture("av.mp4", dir + "/Grüße 東京 \xff.mp4");
    const std::string libraryName = LibraryFileName(path);
    ASSERT_EQ(libraryName, std::string(kUnicodeUrlPrefix) + path);

    const int fdsBefore = OpenDescriptorCount();
    const PacketTally viaProtocol = ReadAll(libraryName);
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore) << "the closing path leaves the file open";

    const PacketTally direct = ReadAll(testmedia::Fixture("av.mp4"));
    EXPECT_GT(direct.packets, 50);
    EXPECT_EQ(viaProtocol.packets, direct.packets);
    EXPECT_EQ(viaProtocol.bytes, direct.bytes);
}

TEST(UnicodeProtocol, RelativeNameWithColonOpens) {
    const std::string dir = testmedia::TempDir();
    CopyFixture("audio.wav", dir + "/clip:1.wav");
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    const PacketTally t = ReadAll(LibraryFileName("clip:1.wav"));
    fs::current_path(previous);
    EXPECT_GT(t.packets, 0);
}

TEST(UnicodeProtocol, OpenFailuresAreNoSuchFile) {
    const std::string dir = testmedia::TempDir();
    const std::string names[] = {
        std::string(kUnicodeUrlPrefix) + dir + "/missing ü.mp4",
        dir + "/missing.mp4",
        std::string(kUnicodeUrlPrefix) + dir,  // a folder
    };
    for (const std::string& name : names) {
        AVFormatContext* ctx = nullptr;
        const int ret = OpenInputFile(&ctx, name, nullptr, nullptr);
        EXPECT_EQ(ret, AVERROR(ENOENT)) << name;
        EXPECT_EQ(ctx, nullptr);
        EXPECT_EQ(LibraryErrorText(WideFileName(name), ret), WideFileName(name) + ": No such file or directory");
    }
}

TEST(UnicodeProtocol, RemuxesThroughOutputAndInput) {
    // Matroska seeks back to write its sizes and cues: this covers write, seek and the size request.
    const std::string dir = testmedia::TempDir();
    const std::string outName = std::string(kUnicodeUrlPrefix) + dir + "/ausgabe ö.mkv";
    const std::string source = testmedia::Fixture("av.mp4");
    const PacketTally sourceTally = ReadAll(source);
    const int fdsBefore = OpenDescriptorCount();
    {
        AVFormatContext* rawIn = nullptr;
        ASSERT_EQ(OpenInputFile(&rawIn, source, nullptr, nullptr), 0);
        av::InputContextPtr in(rawIn);
        ASSERT_GE(avformat_find_stream_info(in.get(), nullptr), 0);

        AVFormatContext* rawOut = nullptr;
        ASSERT_GE(avformat_alloc_output_context2(&rawOut, nullptr, nullptr, outName.c_str()), 0);
        av::OutputContextPtr out(rawOut);
        EXPECT_STREQ(out->oformat->name, "matroska");
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            AVStream* s = avformat_new_stream(out.get(), nullptr);
            ASSERT_GE(avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar), 0);
            s->codecpar->codec_tag = 0;
            s->time_base = in->streams[i]->time_base;
        }
        ASSERT_EQ(OpenOutputFile(&out->pb, outName, nullptr), 0);
        ASSERT_GE(avformat_write_header(out.get(), nullptr), 0);
        av::PacketPtr pkt = av::MakePacket();
        while (av_read_frame(in.get(), pkt.get()) >= 0) {
            av_packet_rescale_ts(pkt.get(), in->streams[pkt->stream_index]->time_base,
                                 out->streams[pkt->stream_index]->time_base);
            ASSERT_GE(av_interleaved_write_frame(out.get(), pkt.get()), 0);
        }
        ASSERT_GE(av_write_trailer(out.get()), 0);
    }
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
    const PacketTally back = ReadAll(outName);
    EXPECT_EQ(back.packets, sourceTally.packets);
    EXPECT_EQ(back.bytes, sourceTally.bytes);
}

TEST(UnicodeProtocol, OutputTruncatesAndCloseReportsWrittenData) {
    const std::string dir = testmedia::TempDir();
    const std::string path = dir + "/ü.bin";
    std::ofstream(path) << std::string(1000, 'x');
    AVIOContext* pb = nullptr;
    ASSERT_EQ(OpenOutputFile(&pb, std::string(kUnicodeUrlPrefix) + path, nullptr), 0);
    avio_write(pb, reinterpret_cast<const unsigned char*>("abc"), 3);
    EXPECT_EQ(CloseOutputFile(&pb), 0);
    EXPECT_EQ(pb, nullptr);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "abc");

    // A write that fails (a full device) is reported by the close, not lost silently.
    if (fs::exists("/dev/full")) {
        ASSERT_EQ(OpenOutputFile(&pb, std::string(kUnicodeUrlPrefix) + "/dev/full", nullptr), 0);
        avio_write(pb, reinterpret_cast<const unsigned char*>("abc"), 3);
        EXPECT_EQ(CloseOutputFile(&pb), AVERROR(ENOSPC));
    }
}
