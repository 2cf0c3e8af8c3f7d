// The player's building blocks on their own: subtitle colours and blending, the event ring,
// the packet queue and the waveform.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "player/EventRing.h"
#include "player/PacketQueue.h"
#include "player/SoundDisplay.h"
#include "player/Subtitles.h"

namespace {

TEST(SubtitlePalette, ConvertsToStudioRangeYuva) {
    struct Case {
        uint32_t argb, yuva;
    } cases[] = {
        {0xFFFFFFFF, 0xFFEB8080},  // opaque white: Y 235, neutral chroma
        {0x80000000, 0x80108080},  // half-transparent black: Y 16, alpha kept
        {0xFFFF0000, 0xFF515AF0},  // red: Y 81, U 90, V 240 (U rounds toward minus infinity)
        {0x400000FF, 0x4029F06E},  // blue: Y 41, U 240, V 110
    };
    for (const Case& c : cases) EXPECT_EQ(PaletteEntryToYuva(c.argb), c.yuva) << std::hex << c.argb;
}

// An 8 x 8 picture with luma 16 and chroma 50, and a rectangle of one colour.
struct BlendCase {
    const char* name;
    int x, y, w, h;
    uint32_t yuva;
    std::vector<std::pair<int, int>> white;    // luma samples that must be 235
    std::vector<std::pair<int, int>> untouched;  // luma samples that must stay 16
    std::vector<std::pair<std::pair<int, int>, int>> chroma;  // chroma sample -> U (and V)
};

TEST(SubtitleBlend, FollowsCoverageOfChromaBlocks) {
    const uint32_t white = PaletteEntryToYuva(0xFFFFFFFF);
    const BlendCase cases[] = {
        {"full blocks", 2, 2, 4, 2, white, {{2, 2}, {5, 3}}, {{1, 2}, {6, 2}, {2, 4}}, {{{1, 1}, 128}, {{2, 1}, 128}, {{0, 0}, 50}}},
        // One pixel per block: a quarter of its alpha (255 >> 2 = 63) with s = 0.
        {"odd corner", 1, 1, 2, 2, white, {{1, 1}, {2, 2}}, {{0, 0}, {3, 3}}, {{{0, 0}, 69}, {{1, 1}, 69}}},
        // Two pixels per block (a row alone in its block): summed u, alpha 510 >> 2, s = 1.
        {"odd row", 0, 1, 4, 1, white, {{0, 1}, {3, 1}}, {{0, 0}, {0, 2}}, {{{0, 0}, 88}, {{1, 0}, 88}, {{0, 1}, 50}}},
        // Larger than the picture: clipped to it and moved inside.
        {"too large", -5, -5, 20, 20, white, {{0, 0}, {7, 7}}, {}, {{{0, 0}, 128}, {{3, 3}, 128}}},
        // Partly outside on the right: moved left so that all of it fits.
        {"moved inside", 6, 0, 4, 2, white, {{4, 0}, {7, 1}}, {{3, 0}, {4, 2}}, {{{2, 0}, 128}, {{1, 0}, 50}}},
        // Transparent: nothing changes.
        {"transparent", 0, 0, 8, 8, 0x00EB8080, {}, {{0, 0}, {7, 7}}, {{{0, 0}, 50}}},
    };
    for (const BlendCase& c : cases) {
        SCOPED_TRACE(c.name);
        TYuvPicture pic;
        pic.Resize(8, 8);
        std::fill(pic.y.begin(), pic.y.end(), 16);
        std::fill(pic.u.begin(), pic.u.end(), 50);
        std::fill(pic.v.begin(), pic.v.end(), 50);
        const int rw = std::max(c.w, 1), rh = std::max(c.h, 1);
        std::vector<uint8_t> indexes(static_cast<size_t>(rw) * rh, 0);
        const uint32_t palette[1] = {c.yuva};
        BlendSubtitle(pic, TSubtitleBitmap{c.x, c.y, c.w, c.h, indexes.data(), rw, palette});
        for (auto [x, y] : c.white) EXPECT_EQ(pic.y[y * 8 + x], 235) << x << "," << y;
        for (auto [x, y] : c.untouched) EXPECT_EQ(pic.y[y * 8 + x], 16) << x << "," << y;
        for (auto [at, u] : c.chroma) {
            EXPECT_EQ(pic.u[at.second * 4 + at.first], u) << "U " << at.first << "," << at.second;
            EXPECT_EQ(pic.v[at.second * 4 + at.first], u) << "V " << at.first << "," << at.second;
        }
    }
}

TEST(EventRing, CollapsesPositionsAndKeepsStates) {
    TEventRing ring;
    auto pos = [](int64_t us) { return TPlayerEvent{TPlayerEvent::ekPosition, psPlay, us}; };
    auto state = [](TPlayState s) { return TPlayerEvent{TPlayerEvent::ekState, s, 0}; };
    for (int i = 1; i <= 10; ++i) ring.Push(pos(i * 1000));
    ASSERT_EQ(ring.Count(), 1);
    EXPECT_EQ(ring.Pop(0)->positionUs, 10000);

    // Positions on both sides of a state stay apart; two different states in a row both stay.
    ring.Push(pos(1));
    ring.Push(pos(2));
    ring.Push(state(psPlay));
    ring.Push(state(psPause));
    ring.Push(state(psPause));
    ring.Push(pos(3));
    ring.Push(pos(4));
    std::vector<TPlayerEvent> got;
    while (auto e = ring.Pop(0)) got.push_back(*e);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].positionUs, 2);
    EXPECT_EQ(got[1].state, psPlay);
    EXPECT_EQ(got[2].state, psPause);
    EXPECT_EQ(got[3].positionUs, 4);

    // A full ring drops its oldest unread entry.
    for (int i = 0; i < 12; ++i) ring.Push(i % 2 ? state(psEnd) : pos(i));
    ASSERT_EQ(ring.Count(), TEventRing::kSize);
    EXPECT_EQ(ring.Pop(0)->positionUs, 2);
}

TEST(PacketQueue, CountsBytesCarriesFlushAndAborts) {
    TPacketQueue q;
    av::PacketPtr p = av::MakePacket();
    ASSERT_EQ(av_new_packet(p.get(), 100), 0);
    ASSERT_EQ(q.Put(*p), 0);
    ASSERT_EQ(q.PutFlush(), 0);
    EXPECT_EQ(q.Count(), 2);
    EXPECT_EQ(q.Bytes(), 100 + 2 * TPacketQueue::kEntryOverhead);
    TQueuedPacket e;
    ASSERT_EQ(q.Get(e, false), 1);
    EXPECT_FALSE(e.flush);
    EXPECT_EQ(e.packet->size, 100);
    ASSERT_EQ(q.Get(e, false), 1);
    EXPECT_TRUE(e.flush);
    EXPECT_EQ(q.Get(e, false), 0);
    EXPECT_EQ(q.Bytes(), 0);

    // A blocked Get returns -1 once the queue is aborted, and so does Put.
    int result = 0;
    std::thread t([&] { result = q.Get(e, true); });
    q.Abort();
    t.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(q.Put(*p), -1);
}

TEST(Waveform, DrawsBarsPerChannelAndSeparators) {
    TSampleRing ring;
    std::vector<int16_t> samples;
    for (int i = 0; i < 4096; ++i) {
        samples.push_back(16384);
        samples.push_back(-16384);
    }
    ring.Append(samples.data(), static_cast<int>(samples.size()));
    TYuvPicture area;
    area.Resize(64, 32);
    DrawWaveform(area, ring, WaveformStart(ring, 2, 64), 2);
    // Band height 16, scale 16 * 9 / 20 = 7: channel 0 bar of (16384 * 7) >> 15 = 3 rows down
    // from its centre 8; channel 1 bar of 4 rows up from its centre 24; separator at row 16.
    auto at = [&](int x, int y) { return area.y[y * 64 + x]; };
    for (int x : {0, 31, 63}) {
        for (int y : {8, 9, 10, 16, 20, 23}) EXPECT_EQ(at(x, y), 235) << x << "," << y;
        for (int y : {0, 7, 11, 15, 19, 24, 31}) EXPECT_EQ(at(x, y), 16) << x << "," << y;
    }
}

}  // namespace
