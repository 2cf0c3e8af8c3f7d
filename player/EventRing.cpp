#include "player/EventRing.h"

#include <chrono>

void TEventRing::Push(const TPlayerEvent& event) {
    std::lock_guard lock(mutex_);
    if (count_ > 0) {
        TPlayerEvent& newest = entries_[(first_ + count_ - 1) % kSize];
        if (newest.kind == event.kind && (event.kind == TPlayerEvent::ekPosition || newest.state == event.state)) {
            newest = event;
            cond_.notify_one();
            return;
        }
    }
    if (count_ == kSize) {
        first_ = (first_ + 1) % kSize;
        --count_;
    }
    entries_[(first_ + count_) % kSize] = event;
    ++count_;
    cond_.notify_one();
}

std::optional<TPlayerEvent> TEventRing::Pop(int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count_ > 0; })) return std::nullopt;
    TPlayerEvent e = entries_[first_];
    first_ = (first_ + 1) % kSize;
    --count_;
    return e;
}

int TEventRing::Count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void TEventRing::Clear() {
    std::lock_guard lock(mutex_);
    first_ = count_ = 0;
}
