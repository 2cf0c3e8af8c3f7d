#pragma once
// The ring of position and state events between the player's threads and the thread that
// delivers them to the host. A busy host gets the newest position, not a backlog.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "player/PlayerTypes.h"

struct TPlayerEvent {
    enum TKind { ekPosition, ekState } kind = ekPosition;
    TPlayState state = psPlay;
    int64_t positionUs = 0;
};

// Thread-safe: every member takes the ring's own lock.
class TEventRing {
public:
    static constexpr int kSize = 10;

    // A position replaces a position that is the newest unread entry, and a state the same state;
    // a different state never replaces one (a state change is never lost to a later one).
    // Otherwise the event takes a new entry, and a full ring drops its oldest unread entry.
    void Push(const TPlayerEvent& event);
    // The oldest unread entry, waiting up to timeoutMs for one; nullopt on timeout.
    std::optional<TPlayerEvent> Pop(int timeoutMs);
    int Count() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::array<TPlayerEvent, kSize> entries_;  // guarded by mutex_
    int first_ = 0, count_ = 0;               // guarded by mutex_
};
