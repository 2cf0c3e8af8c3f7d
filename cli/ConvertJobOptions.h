#pragma once
// The per-job options of quillmar-cli convert (trim, zoom, crop, picture effects, watermark): parsed
// from the command line, then applied to every job record of the run, as the GUI's dialogs would
// set them.
#include <cstdint>
#include <optional>
#include <string>

#include "app/JobRecord.h"

struct TConvertJobOptions {
    std::optional<int64_t> trimStartUs;
    std::optional<int64_t> trimLengthUs;
    std::optional<std::string> zoom;  // full, lbox, pan or center; the format's stored zoom, not the record's
    struct TCrop {
        int32_t top = 0, bottom = 0, left = 0, right = 0;
    };
    std::optional<TCrop> crop;
    std::optional<int32_t> brightness, contrast, saturation, exposure;
    std::optional<std::string> text;
    std::optional<TWaterFont> font;
    std::optional<std::pair<int32_t, int32_t>> textPos;
    std::optional<std::string> image;
    std::optional<std::pair<int32_t, int32_t>> imagePos;
    std::optional<int32_t> alpha;
    std::optional<int32_t> blend;

    // True when `name` is one of these options (each takes one value).
    static bool Takes(const std::string& name);
    // Reads one option's value; false with `error` filled when the value is not usable.
    bool Parse(const std::string& name, const std::string& value, std::string& error);
    // Sets the record's fields that an option named (all but the zoom, which the batch reads from the
    // format's settings).
    void ApplyTo(TlvFilesRecord& record) const;
    // A text watermark needs fonts, which need a GUI application object in the process.
    bool NeedsFonts() const { return text.has_value() && !text->empty(); }
};
