#include "player/PacketQueue.h"

int TPacketQueue::Append(TQueuedPacket entry) {
    std::lock_guard lock(mutex_);
    if (abort_) return -1;
    bytes_ += (entry.packet ? entry.packet->size : 0) + kEntryOverhead;
    entries_.push_back(std::move(entry));
    cond_.notify_one();
    return 0;
}

int TPacketQueue::Put(const AVPacket& packet) {
    TQueuedPacket e;
    e.packet = av::MakePacket();
    if (!e.packet || av_packet_ref(e.packet.get(), &packet) < 0) return -1;
    return Append(std::move(e));
}

int TPacketQueue::PutEmpty(int streamIndex) {
    TQueuedPacket e;
    e.packet = av::MakePacket();
    if (!e.packet) return -1;
    e.packet->stream_index = streamIndex;
    return Append(std::move(e));
}

int TPacketQueue::PutFlush() {
    TQueuedPacket e;
    e.flush = true;
    return Append(std::move(e));
}

int TPacketQueue::Get(TQueuedPacket& out, bool block) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (abort_) return -1;
        if (!entries_.empty()) {
            out = std::move(entries_.front());
            entries_.pop_front();
            bytes_ -= (out.packet ? out.packet->size : 0) + kEntryOverhead;
            return 1;
        }
        if (!block) return 0;
        cond_.wait(lock);
    }
}

void TPacketQueue::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    bytes_ = 0;
}

void TPacketQueue::Abort() {
    std::lock_guard lock(mutex_);
    abort_ = true;
    cond_.notify_all();
}

void TPacketQueue::Start() {
    std::lock_guard lock(mutex_);
    abort_ = false;
}

int TPacketQueue::Count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(entries_.size());
}

int64_t TPacketQueue::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

bool TPacketQueue::Aborted() const {
    std::lock_guard lock(mutex_);
    return abort_;
}
