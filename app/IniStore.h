#pragma once
// INI files with the Windows reader's rules: section and key names match in any letter case,
// integer reads are lenient (decimal or "0x" hex, default on anything else), the first of
// duplicate keys wins. No cache: every call opens the file. Every write replaces the file
// atomically (temporary file in the same folder, flush, rename).
#include <string>
#include <utility>
#include <vector>

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
