#pragma once
// INI files with the Windows reader's rules: section and key names match in any letter case,
// integer reads are lenient (decimal or "0x" hex, default on anything else), the first of
// duplicate keys wins. No cache: every call opens the file. Every write replaces the file
// atomically (temporary file in the same folder, flush, rename).
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The lenient integer rule of the readers, for numbers that come from INI values: blanks around,
// an optional sign, decimal digits or "0x"/"0X" and up to 8 hex digits (taken as the 32 bits of
// the value, so "0xFFFFFFFF" is -1). Anything else, and decimal values outside int, give nothing.
std::optional<int> IniParseInteger(std::string_view text);
int IniStrToIntDef(std::string_view text, int def);

// Thread use: no state besides the path; calls on one file from several threads are not
// serialised against each other (the program writes settings from the GUI thread only).
// Reads see a whole file at any time, since writes replace it by renaming.
// Values: surrounding blanks and one matching pair of surrounding quotes (" or ') are taken off
// when read; a write stores such a value quoted so that it reads back unchanged. Section names,
// key names and values holding a line break cannot be written (std::runtime_error). Section and
// key names match without regard to ASCII letter case; a repeated section header is ignored
// (the first occurrence is the section). Lines starting with ';' or '#' are comments; lines
// that are neither a header nor "key=value" are ignored and kept as they are by writes.
class TIniStore {
public:
    explicit TIniStore(std::string path);

    const std::string& Path() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Keys of a section in file order (first spelling of duplicates only).
    std::vector<std::string> ReadSection(const std::string& section) const;
    // Key/value pairs of a section in file order.
    std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;
    std::vector<std::string> ReadSections() const;

    // Writes create the file, the section and the key as needed. They throw std::runtime_error
    // with a message naming the file when it cannot be written; the old file is then untouched.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    void DeleteKey(const std::string& section, const std::string& key);
    void EraseSection(const std::string& section);

private:
    std::string path_;
};
