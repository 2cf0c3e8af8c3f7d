#pragma once
// The output format catalogue: 25 categories of device profiles, 115 formats in all. A format is
// known by its code, category index * 100 + position in the category (both from 0). Everything a
// format means beyond its name lives in the format file and the settings file, in the section
// FormatSection(code) of each.
//
// Pure data and look-ups; safe to call from any thread.
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr int kFormatCategoryCount = 25;
inline constexpr int kFormatCount = 115;

struct TFormatCategory {
    int index;
    std::string_view caption;                  // the group row text of the chooser
    std::span<const std::string_view> formats;  // display names in position order
};

struct TFormatEntry {
    int code;
    int category;
    int position;
    std::string_view name;
};

// The categories 0..24 in order.
std::span<const TFormatCategory> FormatCategories();

// Every format in code order.
std::span<const TFormatEntry> AllFormats();

int FormatCode(int category, int position);

std::optional<TFormatEntry> FindFormatByCode(int code);

// Blanks at both ends of name are ignored, and letter case.
std::optional<TFormatEntry> FindFormatByName(std::string_view name);

// "formatInfo" followed by the code in decimal: the format's section in both INI files.
std::string FormatSection(int code);
