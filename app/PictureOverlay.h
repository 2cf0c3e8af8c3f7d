#pragma once
// The watermark's text drawing and image loading, used by the picture effects (PictureEffects.h).
//
// Threads: DrawOverlayText and LoadOverlayImage may run on any thread (the conversion worker, the
// player's video thread, the GUI thread); text needs a QGuiApplication to exist in the process,
// because fonts live there; without one DrawOverlayText reports an error instead of drawing.
#include <QImage>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/Bitmap.h"

// The watermark text's font: face, size in points, colour 0x00BBGGRR and the style set.
struct TWaterFont {
    std::string Name = "MS Sans Serif";  // a face the system lacks is substituted by fontconfig
    int32_t Size = 8;                    // points at 96 dpi, as on screen; <= 0 means the default 8
    uint32_t Color = 0;                  // 0x00BBGGRR
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;

    bool operator==(const TWaterFont&) const = default;
};

// Pixel height of a font size in points at 96 dpi, rounded as the screen does (8 pt -> 11 px).
// Sizes <= 0 give the default 8 pt; sizes are capped at 1000 pt so absurd input cannot stall a frame.
int WaterFontPixelSize(int32_t points);

// Draws `text` (UTF-8) as one line with the top-left corner of its character cell at (x, y):
// only the glyphs are painted, anti-aliased, clipped at the frame's edges. The frame's rows may run
// bottom up (negative stride). Returns false and fills `error` when nothing could be drawn for a
// reason the caller should log (no QGuiApplication, unusable frame); empty text draws nothing and
// succeeds.
bool DrawOverlayText(const TBitmapView& frame, const std::string& text, const TWaterFont& font, int32_t x,
                     int32_t y, std::string* error = nullptr);

// Reads a picture file (BMP, PNG or JPEG, told apart by content) and converts it to 24 bits per pixel
// (QImage::Format_BGR888, the frame's byte order). Any alpha channel is dropped. Returns null and
// fills `error` with a message naming the file and what to do when it cannot be read or decoded.
std::shared_ptr<const QImage> LoadOverlayImage(const std::string& path, std::string* error);

// Keeps the last loaded watermark picture so that a conversion decodes the file once, not per frame.
// Each Get looks at the file's modification time and size: when the path, the time or the size
// differ from the kept picture's, the file is read again, so a changed file shows from the next
// frame on. A failure is kept the same way (an unchanged broken file is not decoded again), and is
// reported again on every Get.
// Threads: any; one mutex guards every field. The returned picture is shared and never modified, so
// it stays valid for its holder even when another thread's Get replaces it.
class TOverlayImageCache {
public:
    // The picture for `path`, or null with `error` filled.
    std::shared_ptr<const QImage> Get(const std::string& path, std::string* error);

private:
    struct TFileStamp {
        int64_t modifiedNs = 0;
        int64_t size = -1;
        bool operator==(const TFileStamp&) const = default;
    };

    std::mutex mutex_;
    bool valid_ = false;                   // guarded by mutex_: the fields below describe a load
    std::string path_;                     // guarded by mutex_
    TFileStamp stamp_;                     // guarded by mutex_
    std::shared_ptr<const QImage> image_;  // guarded by mutex_; null when the load failed
    std::string error_;                    // guarded by mutex_; the failed load's message
};
