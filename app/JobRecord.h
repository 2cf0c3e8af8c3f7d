#pragma once
// The job record: everything the user set for one source file of the job list (trim range, zoom,
// crop, picture effects and watermark). Each row of the job list owns one.
//
// Threads: a plain value, read and written on the GUI thread; the conversion hook reads a copy.
#include <cstdint>
#include <string>

#include "app/PictureEffects.h"
#include "app/PictureOverlay.h"

struct TlvFilesRecord {
    int32_t AddIndex = 0;      // position within the files chosen in one Add
    std::string SourceFile;    // equals the row's caption
    std::string DestFile;      // provisional destination path
    int32_t DurationSec = 0;   // source duration in whole seconds (truncated)
    int64_t TrimStart = 0;     // microseconds; 0 = from the beginning
    int64_t TrimLength = 0;    // microseconds; 0 = up to the end
    std::string Zoom = "lbox"; // "full", "lbox", "pan" or "center"
    // Crop margins in source pixels (even numbers).
    int32_t CropTop = 0;
    int32_t CropLeft = 0;
    int32_t CropBottom = 0;
    int32_t CropRight = 0;
    // The same margins as the crop dialog's preview shows them.
    int32_t CropViewTop = 0;
    int32_t CropViewLeft = 0;
    int32_t CropViewBottom = 0;
    int32_t CropViewRight = 0;
    std::string WaterText;     // empty = no text
    TWaterFont WaterFont;      // "MS Sans Serif", 8 pt, black
    int32_t TextX = 0;
    int32_t TextY = 0;
    int32_t TextHorizPct = 0;  // 0..100
    int32_t TextVertPct = 0;
    std::string ImageFile;     // empty = no image
    int32_t ImageX = 0;
    int32_t ImageY = 0;
    int32_t ImageHorizPct = 0;
    int32_t ImageVertPct = 0;
    int32_t ImageAlpha = 168;      // 0..255
    int32_t ImageBlendStyle = 1;   // 1 = weighted mix, 2 = multiply
    int32_t Brightness = 255;      // 255 = off
    int32_t Contrast = 0;          // 0 = off
    int32_t Saturation = 255;      // 255 = off
    int32_t Exposure = 0;          // 0 = off
    bool ProcessText = false;
    bool ProcessImage = false;

    bool AnyCrop() const { return CropTop > 0 || CropLeft > 0 || CropBottom > 0 || CropRight > 0; }

    // The decoration values of this job for the frame routines.
    PictureSettings Picture() const {
        PictureSettings p;
        p.Brightness = Brightness;
        p.Contrast = Contrast;
        p.Saturation = Saturation;
        p.Exposure = Exposure;
        p.WaterText = WaterText;
        p.WaterFont = WaterFont;
        p.TextX = TextX;
        p.TextY = TextY;
        p.ImageFile = ImageFile;
        p.ImageX = ImageX;
        p.ImageY = ImageY;
        p.ImageAlpha = ImageAlpha;
        p.ImageBlendStyle = ImageBlendStyle;
        p.ProcessText = ProcessText;
        p.ProcessImage = ProcessImage;
        return p;
    }
};
