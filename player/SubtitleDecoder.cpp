// The subtitle thread: decodes bitmap subtitles into the queue of four.
#include <chrono>
#include <thread>

#include "player/Playback.h"

void TPlayback::SubtitleThreadMain() {
    for (;;) {
        while (paused_ && !abort_ && !pausedWhenSeeking_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        TQueuedPacket q;
        if (subtitleQueue_.Get(q, true) < 0) break;
        if (q.flush) {
            avcodec_flush_buffers(subtitleDec_.get());
            continue;
        }
        if (!subpictures_.WaitForSpace()) break;
        const double pts = q.packet->pts != AV_NOPTS_VALUE ? q.packet->pts * av_q2d(subtitleSt_->time_base) : 0.0;
        AVSubtitle sub{};
        int got = 0;
        if (avcodec_decode_subtitle2(subtitleDec_.get(), &sub, &got, q.packet.get()) < 0 || !got) continue;
        if (sub.format == 0) {
            ConvertSubtitlePalettes(sub);
            subpictures_.Push(pts, sub);
        }
        avsubtitle_free(&sub);
    }
}
