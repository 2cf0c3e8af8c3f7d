#pragma once
// Where the player's pictures go. The GUI's video panel implements IVideoSink; tests use the
// recording sink. The player never draws itself.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

// A planar YUV 4:2:0 picture (studio range): Y is width x height, U and V are half size each way.
// Width and height are even.
struct TYuvPicture {
    int width = 0;
    int height = 0;
    int64_t ptsUs = -1;  // the picture's time minus the media's start time; -1 for the sound display
    std::vector<uint8_t> y, u, v;

    int ChromaWidth() const { return width / 2; }
    int ChromaHeight() const { return height / 2; }
    // Sizes the planes (contents unspecified after a size change).
    void Resize(int w, int h);
    // Black (16, 128, 128).
    void FillBlack();
    bool Empty() const { return width <= 0 || height <= 0; }
};

// Where a picture is drawn inside the video area.
struct TDisplayRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const TDisplayRect&) const = default;
};

class IVideoSink {
public:
    virtual ~IVideoSink() = default;
    // Main thread, during Open: the host window's client size (0 x 0 when it has none).
    virtual void ClientSize(int& width, int& height) = 0;
    // Player's event-loop thread: (re)create the video area at this size. False: it could not.
    virtual bool SetVideoSize(int width, int height) = 0;
    // Player's event-loop thread: show the picture at rect inside the area (the rest is black).
    // The picture is valid only during the call.
    virtual void ShowPicture(const TYuvPicture& picture, const TDisplayRect& rect) = 0;
};

// Accepts everything and shows nothing.
class TNullVideoSink : public IVideoSink {
public:
    void ClientSize(int& width, int& height) override { width = height = 0; }
    bool SetVideoSize(int, int) override { return true; }
    void ShowPicture(const TYuvPicture&, const TDisplayRect&) override {}
};

// Records what the player shows (for tests and diagnostics). Thread-safe: every member takes
// the sink's own lock.
class TRecordingVideoSink : public IVideoSink {
public:
    struct TShown {
        int64_t ptsUs = -1;
        int width = 0, height = 0;
        TDisplayRect rect;
        std::chrono::steady_clock::time_point when;
        int maxLuma = 0;  // brightest luma sample of the picture
    };

    explicit TRecordingVideoSink(int clientWidth = 0, int clientHeight = 0)
        : clientWidth_(clientWidth), clientHeight_(clientHeight) {}

    void ClientSize(int& width, int& height) override;
    bool SetVideoSize(int width, int height) override;
    void ShowPicture(const TYuvPicture& picture, const TDisplayRect& rect) override;

    std::vector<TShown> Shown() const;
    size_t ShownCount() const;
    TYuvPicture LastPicture() const;
    // Every size the area was given, in order.
    std::vector<std::pair<int, int>> AreaSizes() const;

private:
    mutable std::mutex mutex_;  // guards every field below
    int clientWidth_, clientHeight_;
    std::vector<TShown> shown_;
    TYuvPicture last_;
    std::vector<std::pair<int, int>> areaSizes_;
};
