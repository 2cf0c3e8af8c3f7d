#pragma once
// A queue of demuxed packets between the read thread and one decoder (audio callback, video
// thread or subtitle thread). Carries flush markers that tell the decoder a seek happened.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "engine/AVPtr.h"

// One queue entry: a packet, or the flush marker (packet empty).
struct TQueuedPacket {
    av::PacketPtr packet;
    bool flush = false;
};

// Thread-safe; every member takes the queue's mutex. Put from the read thread, Get from the
// decoder's thread (the audio callback only with block = false).
class TPacketQueue {
public:
    // Each entry counts its data size plus this much (the bookkeeping of one entry).
    static constexpr int kEntryOverhead = 72;

    // Appends a copy of the packet (a reference to its data) and wakes a waiting Get.
    // -1 once aborted.
    int Put(const AVPacket& packet);
    // Appends an empty packet of the stream: the decoder gives out its delayed frames.
    int PutEmpty(int streamIndex);
    int PutFlush();
    // 1 with an entry, 0 when empty and not blocking, -1 once aborted.
    int Get(TQueuedPacket& out, bool block);
    // Drops every entry.
    void Clear();
    // Makes every Get and Put return -1 and wakes waiters.
    void Abort();
    // Clears the abort flag (a fresh start).
    void Start();

    int Count() const;
    int64_t Bytes() const;
    bool Aborted() const;

private:
    int Append(TQueuedPacket entry);

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<TQueuedPacket> entries_;  // guarded by mutex_
    int64_t bytes_ = 0;                  // guarded by mutex_
    bool abort_ = false;                 // guarded by mutex_
};
