#include "app/FormatCatalogue.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace {

using N = std::string_view;

// Names are shown to the user and stored as "FormatName"; they keep their historic spelling.
constexpr std::array<N, 9> kAppleIPod = {
    "iPod Video MPEG-4 (*.mp4)",
    "iPod Video H.264 (*.mp4)",
    "iPod MPEG-4 Excellent (320 x 240)(*.mp4)",
    "iPod MPEG-4 Normal (320 x 240)(*.mp4)",
    "iPod MPEG-4 Mini (320 x 240)(*.mp4)",
    "iPod Touch MPEG-4 Excellent (*.mp4)",
    "iPod Touch MPEG-4 (480 x 320) (*.mp4)",
    "iPod Touch MPEG-4 (320 x 240) (*.mp4)",
    "iPod Touch MPEG-4 Wide Screen (*.mp4)",
};
constexpr std::array<N, 5> kAppleIPhone = {
    "iPhone MPEG-4 Extra Video (*.mp4)",
    "iPhone MPEG-4 Wide Screen (*.mp4)",
    "iPhone MPEG-4 Movie (*.mp4)",
    "iPhone Movie for 480p TV Out (*.mp4)",
    "iPhone Movie for 576p TV Out (*.mp4)",
};
constexpr std::array<N, 6> kAppleTV = {
    "Apple TV (640 x 480) MPEG-4 Excellent (*.mp4)",
    "Apple TV (640 x 480) MPEG-4 Normal (*.mp4)",
    "Apple TV (640 x 480) MPEG-4 Mini (*.mp4)",
    "Apple H.264 (320 x 240) (*.mp4)",
    "Apple H.264 480P (640 x 480) (*.mp4)",
    "Apple H.264 720p (1280 x 720) (*.mp4)",
};
constexpr std::array<N, 1> kGPhone = {
    "GPhone MPEG-4 Movie (*.mp4)",
};
constexpr std::array<N, 5> kSonyPSP = {
    "PSP MPEG-4 Excellent Quality (*.mp4)",
    "PSP MPEG-4 Normal Quality (*.mp4)",
    "PSP MPEG-4 Mini Size (*.mp4)",
    "PSP H.264/AVC Video (*.mp4)",
    "PSP Video (480P) (*.mp4)",
};
constexpr std::array<N, 4> kSonyPS3 = {
    "PS3 MPEG-4 Video (480P) (*.mp4)",
    "PS3 MPEG-4 Video (480P) Excellent (*.mp4)",
    "PS3 MPEG-4 Video (720P) (*.mp4)",
    "PS3 MPEG-4 Video (1080P) (*.mp4)",
};
constexpr std::array<N, 3> kZune = {
    "Microsoft Zune MPEG-4 Video (*.mp4)",
    "Microsoft Zune MPEG-4 AVC Video (*.mp4)",
    "Microsoft Zune Windows Media Video (*.wmv)",
};
constexpr std::array<N, 3> kWalkman = {
    "Sony Walkman MPEG-4 Video (*.mp4)",
    "Sony Walkman AVC Video (*.mp4)",
    "Sony Walkman WMV Video (*.wmv)",
};
constexpr std::array<N, 7> kArchos = {
    "Archos H.264 Video (*.mp4)",
    "Archos MPEG4 Video (*.mp4)",
    "Archos 105 Video (*.wmv)",
    "Archos 404/405 Video (*.avi)",
    "Archos 504/604 Video (*.avi)",
    "Archos 605/705/TV+ Video (*.avi)",
    "Archos AV500/700 Video (*.avi)",
};
constexpr std::array<N, 7> kCreativeZen = {
    "Creative Zen H.264 Video (*.mp4)",
    "Creative Zen MPEG4 Video (*.mp4)",
    "Creative Zen Xvid Video (*.avi)",
    "Creative Zen X-Fi Video (*.avi)",
    "Creative Zen Vison Video (*.avi)",
    "Creative Zen Vison M Video (*.avi)",
    "Creative Zen Vison W Video (*.avi)",
};
constexpr std::array<N, 10> kIRiver = {
    "iRiver H.264 Video (*.mp4)",
    "iRiver MPEG4 Video (*.mp4)",
    "iRiver WMV Video (*.wmv)",
    "iRiver Xvid Video (*.avi)",
    "iRiver E10 Video (*.avi)",
    "iRiver U10/Clix Video (*.avi)",
    "iRiver B20/X20/Clix 2/E100/Lplayer Video (*.avi)",
    "iRiver Spinn/D28/DICPLE D30 Video (*.avi)",
    "iRiver P10/P20 Video (*.avi)",
    "iRiver PMP-120/140/IMP-1000/1100 Video (*.avi)",
};
constexpr std::array<N, 3> kSansa = {
    "Sandisk Sansa AVI Video (*.avi)",
    "Sandisk Sansa WMV Video (*.wmv)",
    "Sandisk Sansa MPEG-4 Video (*.mp4)",
};
constexpr std::array<N, 3> kXbox = {
    "Microsoft Xbox WMV Video (*.wmv)",
    "Microsoft Xbox AVI Video (*.avi)",
    "Microsoft Xbox MPEG-4 Video (*.mp4)",
};
constexpr std::array<N, 2> kWii = {
    "Nitendeo Wii AVI Video (*.avi)",
    "Nitendeo Wii MOV Video (*.mov)",
};
constexpr std::array<N, 6> kMobilePhone = {
    "Mobile Phone 3GP h263 Video(*.3gp)",
    "Mobile Phone 3GP MPEG-4 Video(*.3gp)",
    "Mobile Phone 3GP2 h263 Video(*.3gp)",
    "Mobile Phone 3GP2 MPEG-4 Video(*.3gp)",
    "Mobile Phone MPEG-4 Video(*.mp4)",
    "Nokia N Series MPEG-4 Video(*.mp4)",
};
constexpr std::array<N, 1> kBlackBerry = {
    "BlackBerry MPEG-4 Video(*.mp4)",
};
constexpr std::array<N, 1> kNokia = {
    "Nokia N Series MPEG-4 Video (*.mp4)",
};
constexpr std::array<N, 8> kWindowsMobile = {
    "Dell Axim 51 Video (*.wmv)",
    "Dell Axim 51V Video (*.wmv)",
    "HP iPAQ hw6500 Series Video (*.wmv)",
    "HP iPAQ hx2000/rx3000/rx1900 Series Video (*.wmv)",
    "HP iPAQ hx4700 Series Video (*.wmv)",
    "Palm Treo Series Video (*.wmv)",
    "HTC Touch Diamond Video (*.wmv)",
    "General Pocket PC Video (*.wmv)",
};
constexpr std::array<N, 1> kQuickTime = {
    "MOV - Quick Time Video (*.mov)",
};
constexpr std::array<N, 2> kFlash = {
    "Flash Video Format (*.flv)",
    "Flash SWF Format (*.swf)",
};
constexpr std::array<N, 1> kGigabeat = {
    "Toshiba Gigabeat WMV Movie (*.wmv)",
};
constexpr std::array<N, 9> kHDVideo = {
    "HD AVI Video (*.avi)",
    "HD Divx Video (*.avi)",
    "HD H.264/MPEG-4 AVC Video (*.mp4)",
    "HD MOV Video (*.mov)",
    "HD WMV Video (*.wmv)",
    "HD MPEG-4 Video (*.mp4)",
    "HD Xvid Video (*.avi)",
    "HD MPEG2-PS Video (*.mpg)",
    "HD MPEG2-TS Video (*.ts)",
};
constexpr std::array<N, 1> kMatroska = {
    "MKV - Matroska Video (*.mkv)",
};
constexpr std::array<N, 10> kGeneralVideo = {
    "MPEG-1 Video (*.mpg)",
    "MPEG-2 Video (*.mpg)",
    "MPEG-4 Video (*.mp4)",
    "H.264/MPEG-4 AVC Video (*.mp4)",
    "AVI Video (*.avi)",
    "WMV Video (*.wmv)",
    "Divx Video (*.avi)",
    "Xvid Video (*.avi)",
    "DV - NTSC -Digital Video Format (*.dv)",
    "DV - PAL -Digital Video Format (*.dv)",
};
constexpr std::array<N, 7> kGeneralAudio = {
    "MP3 MPEG Layer-3 Audio (*.mp3)",
    "AAC Advenced Audio Codec (*.aac)",
    "M4A MPEG-4 Audio (*.m4a)",
    "WMA - Windows Meida Audio (*.wma)",
    "WAV - Waveform Audio (*.wav)",
    "OGG Vorbis Audio Codec (*.ogg)",
    "AC-3 Audio Codec (*.ac3)",
};

constexpr std::array<TFormatCategory, kFormatCategoryCount> kCategories = {{
    {0, "Apple iPod", kAppleIPod},
    {1, "Apple iPhone", kAppleIPhone},
    {2, "Apple TV", kAppleTV},
    {3, "GPhone", kGPhone},
    {4, "Sony PSP", kSonyPSP},
    {5, "Sony PS3", kSonyPS3},
    {6, "Microsoft Zune", kZune},
    {7, "Sony Walkman", kWalkman},
    {8, "Archos", kArchos},
    {9, "Creative Zen", kCreativeZen},
    {10, "iRiver", kIRiver},
    {11, "Sandisk Sansa", kSansa},
    {12, "Microsoft xbox 360", kXbox},
    {13, "Nitendeo WII", kWii},
    {14, "Mobile Phone", kMobilePhone},
    {15, "BlackBerry", kBlackBerry},
    {16, "Nokia", kNokia},
    {17, "Windows Mobile", kWindowsMobile},
    {18, "Quick Time Video - MOV", kQuickTime},
    {19, "Flash Video", kFlash},
    {20, "Toshiba Gigabeat", kGigabeat},
    {21, "HD Video", kHDVideo},
    {22, "Matroska Video - MKV", kMatroska},
    {23, "General Video formates", kGeneralVideo},
    {24, "General Audio formates", kGeneralAudio},
}};

std::vector<TFormatEntry> BuildEntries() {
    std::vector<TFormatEntry> entries;
    for (const TFormatCategory& c : kCategories)
        for (size_t p = 0; p < c.formats.size(); ++p)
            entries.push_back({FormatCode(c.index, static_cast<int>(p)), c.index, static_cast<int>(p), c.formats[p]});
    return entries;
}

// Blanks and control characters at both ends go.
std::string_view Trim(std::string_view s) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::span<const TFormatCategory> FormatCategories() { return kCategories; }

std::span<const TFormatEntry> AllFormats() {
    static const std::vector<TFormatEntry> entries = BuildEntries();
    return entries;
}

int FormatCode(int category, int position) { return category * 100 + position; }

std::optional<TFormatEntry> FindFormatByCode(int code) {
    for (const TFormatEntry& e : AllFormats())
        if (e.code == code) return e;
    return std::nullopt;
}

std::optional<TFormatEntry> FindFormatByName(std::string_view name) {
    const std::string_view sought = Trim(name);
    for (const TFormatEntry& e : AllFormats())
        if (SameTextIgnoringCase(e.name, sought)) return e;
    return std::nullopt;
}

std::string FormatSection(int code) { return "formatInfo" + std::to_string(code); }
