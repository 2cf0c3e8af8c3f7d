#include "player/VideoSink.h"

#include <algorithm>
#include <cstring>

void TYuvPicture::Resize(int w, int h) {
    width = std::max(0, w) & ~1;
    height = std::max(0, h) & ~1;
    y.resize(static_cast<size_t>(width) * height);
    u.resize(static_cast<size_t>(width / 2) * (height / 2));
    v.resize(u.size());
}

void TYuvPicture::FillBlack() {
    std::fill(y.begin(), y.end(), uint8_t{16});
    std::fill(u.begin(), u.end(), uint8_t{128});
    std::fill(v.begin(), v.end(), uint8_t{128});
}

void TRecordingVideoSink::ClientSize(int& width, int& height) {
    std::lock_guard lock(mutex_);
    width = clientWidth_;
    height = clientHeight_;
}

bool TRecordingVideoSink::SetVideoSize(int width, int height) {
    std::lock_guard lock(mutex_);
    areaSizes_.emplace_back(width, height);
    return true;
}

void TRecordingVideoSink::ShowPicture(const TYuvPicture& picture, const TDisplayRect& rect) {
    TShown s;
    s.ptsUs = picture.ptsUs;
    s.width = picture.width;
    s.height = picture.height;
    s.rect = rect;
    s.when = std::chrono::steady_clock::now();
    s.maxLuma = picture.y.empty() ? 0 : *std::max_element(picture.y.begin(), picture.y.end());
    std::lock_guard lock(mutex_);
    shown_.push_back(s);
    last_ = picture;
}

std::vector<TRecordingVideoSink::TShown> TRecordingVideoSink::Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

size_t TRecordingVideoSink::ShownCount() const {
    std::lock_guard lock(mutex_);
    return shown_.size();
}

TYuvPicture TRecordingVideoSink::LastPicture() const {
    std::lock_guard lock(mutex_);
    return last_;
}

std::vector<std::pair<int, int>> TRecordingVideoSink::AreaSizes() const {
    std::lock_guard lock(mutex_);
    return areaSizes_;
}
