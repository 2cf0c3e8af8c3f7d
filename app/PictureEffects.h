#pragma once
// Picture effects and watermark overlay: the per-frame routines that realise a job's picture settings
// on the engine's 24-bit frames (engine/Bitmap.h: three bytes per pixel, blue, green, red). The
// conversion hook and the preview dialogs both decorate through DecorateFrame, so a preview shows
// what the conversion produces.
//
// All routines work in place and treat the three bytes of a pixel alike, so the byte order inside a
// pixel does not matter. Frames may have any stride, negative (bottom-up rows) included; a frame
// whose |stride| is shorter than width * 3 is left alone.
//
// Threads: the free functions keep no state and may run on any thread at once on different frames.
// TPictureDecorator is used by one thread at a time (a conversion worker, or a player's video thread).
#include <QImage>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/PictureOverlay.h"
#include "engine/Bitmap.h"

// The values one decoration of a frame needs, with the defaults of a newly added job.
struct PictureSettings {
    int32_t Brightness = 255;  // 0..512, 256 = unity
    int32_t Contrast = 0;      // -100..100, around the level 170; 100 acts as 99
    int32_t Saturation = 255;  // 0..512, 256 = unity
    int32_t Exposure = 0;      // -255..512, 0 = off
    std::string WaterText;     // empty = no text
    TWaterFont WaterFont;
    int32_t TextX = 0;         // top-left pixel of the text on the decoded frame
    int32_t TextY = 0;
    std::string ImageFile;     // empty = no image
    int32_t ImageX = 0;        // top-left pixel of the image on the decoded frame
    int32_t ImageY = 0;
    int32_t ImageAlpha = 168;      // 0..255, the image's weight in blend style 1
    int32_t ImageBlendStyle = 1;   // 1 = weighted mix, anything else = multiply
    bool ProcessText = false;      // the colour and exposure adjustments also act on the text
    bool ProcessImage = false;     // ... and on the image

    bool operator==(const PictureSettings&) const = default;

    // False for exactly the triple 255/0/255 (not 256/0/256, which runs and changes nothing).
    bool HasColorAdjust() const { return !(Brightness == 255 && Contrast == 0 && Saturation == 255); }
    bool HasExposure() const { return Exposure != 0; }
    // True when decorating changes something: the conversion hooks only such jobs.
    bool NeedsDecoration() const {
        return HasColorAdjust() || HasExposure() || !WaterText.empty() || !ImageFile.empty();
    }
};

// A read-only view of 24-bit pixels (the watermark picture).
struct TConstBitmapView {
    int width = 0;
    int height = 0;
    int stride = 0;
    const uint8_t* bits = nullptr;

    const uint8_t* Row(int y) const { return bits + static_cast<std::ptrdiff_t>(y) * stride; }
};

// View of a Format_BGR888 QImage; any other format gives an empty view.
TConstBitmapView ImageView(const QImage& image);

// The level tables of one colour and exposure setting: built once, then applied to any number of
// frames with look-ups only. The colour adjustment and the exposure curve that follows it are fused
// into one pass. Read-only after construction: Apply may run on several threads.
class TPictureAdjust {
public:
    // An adjustment that changes nothing and touches no pixel.
    TPictureAdjust() = default;
    // The colour adjustment when `color` is set, then the exposure curve unless exposure is 0
    // (or not a finite number).
    TPictureAdjust(bool color, int32_t brightness, int32_t contrast, int32_t saturation, float exposure);
    // The adjustment a settings record asks for (the colour part skipped at 255/0/255).
    explicit TPictureAdjust(const PictureSettings& s);

    bool Active() const { return color_ || exposure_; }
    // Big frames are done in row bands on a few threads at once; Apply returns when all are done.
    void Apply(const TBitmapView& frame) const;

    // The exposure curve's level map (identity at 0 or a non-finite value).
    static std::array<uint8_t, 256> ExposureTable(float exposure);

private:
    void ApplyRows(const TBitmapView& frame, int from, int to) const;
    static std::array<uint8_t, 256> ContrastTable(int32_t contrast);
    static std::array<uint8_t, 256> LevelTable(int32_t brightness, int32_t contrast);
    static std::array<int64_t, 256> SaturationTable(int32_t saturation);

    bool color_ = false;
    bool exposure_ = false;
    std::array<uint8_t, 256> levels_{};  // brightness/contrast then exposure, or exposure alone
    // Colour pass: a channel v of a pixel whose bytes average to a becomes byAverage_[a * 256 + v],
    // which holds levels_[clamp(a - S[a] + S[v])]; empty when the colour part is off.
    std::vector<uint8_t> byAverage_;
};

// Brightness, contrast and saturation in one pass over the frame.
void ApplyColorAdjust(const TBitmapView& frame, int32_t brightness, int32_t contrast, int32_t saturation);

// The exposure curve: positive values lift dark and middle levels toward 255, negative ones push
// them toward 0; 0 and 255 stay where the curve keeps them.
void ApplyExposure(const TBitmapView& frame, float exposure);

// Blends a 24-bit picture onto the frame with its top-left corner at (x, y), cut at the frame's
// edges (positions left of or above the frame cut the picture's left or top part). Style 1 mixes
// with the picture's weight `alpha` (clamped to 0..255); any other style multiplies, so white
// leaves the frame as it is and black makes it black.
void BlendOverlayImage(const TBitmapView& frame, const TConstBitmapView& image, int32_t x, int32_t y,
                       int32_t alpha, int32_t style);

// What a decoration could not do. The frame is decorated with everything else.
struct TDecorateResult {
    std::string errorText;  // empty when everything was applied; otherwise one message per failure
    bool Ok() const { return errorText.empty(); }
};

// Applies a settings record to one frame. "Adjust" is the colour adjustment (skipped at 255/0/255)
// followed by the exposure (skipped at 0); "Text" draws WaterText, "Image" blends ImageFile. Order:
//   ProcessText ProcessImage   order
//   false       false          Adjust, Text, Image
//   true        false          Text, Adjust, Image
//   false       true           Image, Adjust, Text
//   true        true           Text, Image, Adjust
// This one-shot form builds its tables and reads the picture file on every call; a conversion uses
// TPictureDecorator instead.
TDecorateResult DecorateFrame(const TBitmapView& frame, const PictureSettings& settings);

// DecorateFrame for a stream of frames: keeps the level tables while the colour and exposure values
// stay the same and keeps the watermark picture while its file stays the same, so per frame only the
// pixel work remains. A change of the settings or of the file shows from the next frame on.
// Threads: one thread at a time calls Decorate (the conversion worker or a player's video thread).
class TPictureDecorator {
public:
    TDecorateResult Decorate(const TBitmapView& frame, const PictureSettings& settings);

private:
    struct TAdjustKey {
        bool color = false;
        int32_t brightness = 0, contrast = 0, saturation = 0, exposure = 0;
        bool operator==(const TAdjustKey&) const = default;
    };
    bool haveAdjust_ = false;
    TAdjustKey adjustKey_;
    TPictureAdjust adjust_;
    TOverlayImageCache images_;
};
