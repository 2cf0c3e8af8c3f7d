#include "cli/ConvertJobOptions.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <tuple>
#include <vector>

#include "app/ParameterLists.h"

namespace {

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) parts.push_back(part);
    if (!text.empty() && text.back() == ',') parts.emplace_back();
    return parts;
}

bool WholeIn(const std::string& text, int32_t low, int32_t high, int32_t& value) {
    if (!IsIntegerText(text)) return false;
    const int v = IntegerOfText(text);
    if (v < low || v > high) return false;
    value = v;
    return true;
}

bool RangeError(const std::string& name, int32_t low, int32_t high, std::string& error) {
    error = name + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return false;
}

bool Seconds(const std::string& text, int64_t& us) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    // A day is far beyond any source; the cap keeps the microsecond count in range.
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0 || seconds > 86400.0)
        return false;
    us = std::llround(seconds * 1e6);
    return true;
}

// "X,Y", both whole numbers >= 0.
bool Position(const std::string& text, std::pair<int32_t, int32_t>& pos) {
    const auto parts = SplitCommas(text);
    return parts.size() == 2 && WholeIn(parts[0], 0, 100000, pos.first) && WholeIn(parts[1], 0, 100000, pos.second);
}

// A colour as stored (0x00BBGGRR, decimal or 0x hex) or as "#RRGGBB".
bool Colour(const std::string& text, uint32_t& colour) {
    if (text.size() == 7 && text[0] == '#') {
        char* end = nullptr;
        const unsigned long rgb = std::strtoul(text.c_str() + 1, &end, 16);
        if (end != text.c_str() + 7) return false;
        colour = static_cast<uint32_t>(((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF));
        return true;
    }
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size() || value > 0xFFFFFF) return false;
    colour = static_cast<uint32_t>(value);
    return true;
}

bool Font(const std::string& text, TWaterFont& font, std::string& error) {
    error = "--font needs FACE,SIZE,COLOR[,bold,italic,underline,strikeout] with a size from 1 to 1000 and a "
            "colour as 0xBBGGRR or #RRGGBB";
    const auto parts = SplitCommas(text);
    if (parts.size() < 3 || parts[0].empty()) return false;
    TWaterFont f;
    f.Name = parts[0];
    if (!WholeIn(parts[1], 1, 1000, f.Size) || !Colour(parts[2], f.Color)) return false;
    for (size_t i = 3; i < parts.size(); ++i) {
        if (parts[i] == "bold") f.Bold = true;
        else if (parts[i] == "italic") f.Italic = true;
        else if (parts[i] == "underline") f.Underline = true;
        else if (parts[i] == "strikeout") f.StrikeOut = true;
        else {
            error = "--font: unknown style \"" + parts[i] + "\" (bold, italic, underline or strikeout)";
            return false;
        }
    }
    font = f;
    error.clear();
    return true;
}

constexpr std::array kNames = {"--trim-start", "--trim-length", "--zoom",  "--crop",     "--brightness",
                               "--contrast",   "--saturation",  "--exposure", "--text",  "--font",
                               "--text-pos",   "--image",       "--image-pos", "--alpha", "--blend"};

}  // namespace

bool TConvertJobOptions::Takes(const std::string& name) {
    for (const char* n : kNames)
        if (name == n) return true;
    return false;
}

bool TConvertJobOptions::Parse(const std::string& name, const std::string& value, std::string& error) {
    int64_t us = 0;
    int32_t n = 0;
    std::pair<int32_t, int32_t> pos;
    if (name == "--trim-start" || name == "--trim-length") {
        if (!Seconds(value, us) || (name == "--trim-length" && us == 0)) {
            error = name + " needs seconds (" + (name == "--trim-start" ? "0" : "more than 0") + " up to 86400)";
            return false;
        }
        (name == "--trim-start" ? trimStartUs : trimLengthUs) = us;
    } else if (name == "--zoom") {
        if (value != "full" && value != "lbox" && value != "pan" && value != "center") {
            error = "--zoom needs full, lbox, pan or center";
            return false;
        }
        zoom = value;
    } else if (name == "--crop") {
        const auto parts = SplitCommas(value);
        TCrop c;
        if (parts.size() != 4 || !WholeIn(parts[0], 0, 100000, c.top) || !WholeIn(parts[1], 0, 100000, c.bottom) ||
            !WholeIn(parts[2], 0, 100000, c.left) || !WholeIn(parts[3], 0, 100000, c.right)) {
            error = "--crop needs T,B,L,R: four whole numbers of 0 or more";
            return false;
        }
        // Margins are kept even, as the crop dialog keeps them, so 4:2:0 pictures crop cleanly.
        for (int32_t* m : {&c.top, &c.bottom, &c.left, &c.right}) *m &= ~1;
        crop = c;
    } else if (name == "--brightness" || name == "--saturation") {
        if (!WholeIn(value, 0, 512, n)) return RangeError(name, 0, 512, error);
        (name == "--brightness" ? brightness : saturation) = n;
    } else if (name == "--contrast") {
        if (!WholeIn(value, -100, 100, n)) return RangeError(name, -100, 100, error);
        contrast = n;
    } else if (name == "--exposure") {
        if (!WholeIn(value, -255, 512, n)) return RangeError(name, -255, 512, error);
        exposure = n;
    } else if (name == "--alpha") {
        if (!WholeIn(value, 0, 255, n)) return RangeError(name, 0, 255, error);
        alpha = n;
    } else if (name == "--blend") {
        if (!WholeIn(value, 1, 2, n)) return RangeError(name, 1, 2, error);
        blend = n;
    } else if (name == "--text") {
        text = value;
    } else if (name == "--image") {
        image = value;
    } else if (name == "--font") {
        TWaterFont f;
        if (!Font(value, f, error)) return false;
        font = f;
    } else if (name == "--text-pos" || name == "--image-pos") {
        if (!Position(value, pos)) {
            error = name + " needs X,Y: two whole numbers of 0 or more";
            return false;
        }
        (name == "--text-pos" ? textPos : imagePos) = pos;
    } else {
        error = "unknown option " + name;
        return false;
    }
    return true;
}

void TConvertJobOptions::ApplyTo(TlvFilesRecord& r) const {
    if (trimStartUs) r.TrimStart = *trimStartUs;
    if (trimLengthUs) r.TrimLength = *trimLengthUs;
    if (crop) {
        r.CropTop = crop->top;
        r.CropBottom = crop->bottom;
        r.CropLeft = crop->left;
        r.CropRight = crop->right;
    }
    if (brightness) r.Brightness = *brightness;
    if (contrast) r.Contrast = *contrast;
    if (saturation) r.Saturation = *saturation;
    if (exposure) r.Exposure = *exposure;
    if (text) r.WaterText = *text;
    if (font) r.WaterFont = *font;
    if (textPos) std::tie(r.TextX, r.TextY) = *textPos;
    if (image) r.ImageFile = *image;
    if (imagePos) std::tie(r.ImageX, r.ImageY) = *imagePos;
    if (alpha) r.ImageAlpha = *alpha;
    if (blend) r.ImageBlendStyle = *blend;
}
