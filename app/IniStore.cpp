#include "app/IniStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare by ASCII letter case only; bytes above 0x7F (UTF-8) must match exactly.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

// A value enclosed in a matching pair of quotes loses that pair when read.
std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && IsQuote(v.front()) && v.front() == v.back()) return v.substr(1, v.size() - 2);
    return v;
}

enum class TLineKind { Other, Section, Key };

// One line as seen by the reader; views into the line's text.
struct TLineView {
    TLineKind kind = TLineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed and unquoted
};

TLineView ClassifyView(std::string_view raw) {
    TLineView line;
    std::string_view s = Trim(raw);
    if (s.empty() || s.front() == ';' || s.front() == '#') return line;
    if (s.front() == '[') {
        // The last ']' closes the name, so a name may itself hold ']'. No ']' at all: garbage.
        const size_t close = s.rfind(']');
        if (close == std::string_view::npos) return line;
        line.kind = TLineKind::Section;
        line.name = Trim(s.substr(1, close - 1));
        return line;
    }
    const size_t eq = s.find('=');
    if (eq == std::string_view::npos) return line;
    const std::string_view key = Trim(s.substr(0, eq));
    if (key.empty()) return line;
    line.kind = TLineKind::Key;
    line.name = key;
    line.value = Unquote(Trim(s.substr(eq + 1)));
    return line;
}

// Calls fn(TLineView) for every line of the file's text until fn returns false. A leading
// UTF-8 byte order mark and the CRs of CR LF line ends are not part of any line.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& fn) {
    if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!fn(ClassifyView(line))) return;
    }
}

// Lookups go straight through the text: the file is read for every call, so they allocate
// nothing per line, and lines outside the wanted section are only checked for a header. Only
// the first header of a section counts.
template <typename Fn>
void ForEachKeyOfSection(std::string_view text, std::string_view section, Fn&& fn) {
    if (text.starts_with(kBom)) text.remove_prefix(kBom.size());
    bool inside = false;
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        size_t first = 0;
        while (first < line.size() && IsBlank(line[first])) ++first;
        if (!inside && (first == line.size() || line[first] != '[')) continue;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const TLineView l = ClassifyView(line);
        if (l.kind == TLineKind::Section) {
            if (inside) return;
            inside = SameName(l.name, section);
        } else if (inside && l.kind == TLineKind::Key && !fn(l)) {
            return;
        }
    }
}

std::optional<std::string> FindValue(std::string_view text, std::string_view section, std::string_view key) {
    std::optional<std::string> value;
    ForEachKeyOfSection(text, section, [&](const TLineView& l) {
        if (!SameName(l.name, key)) return true;
        value = std::string(l.value);
        return false;
    });
    return value;
}

// A line kept for a rewrite: its text as stored and what the reader sees in it.
struct TLine {
    std::string raw;  // the line as stored, without its line end
    TLineKind kind = TLineKind::Other;
    std::string name;
};

TLine Classify(std::string raw) {
    const TLineView v = ClassifyView(raw);
    TLine line{std::string(), v.kind, std::string(v.name)};
    line.raw = std::move(raw);
    return line;
}

// The parsed file: every line kept as it was so that a rewrite changes only what it must.
struct TIniText {
    bool existed = false;
    std::string bom;
    std::string eol = "\n";
    std::vector<TLine> lines;

    // First header of the section; later headers of the same name are not consulted.
    std::optional<size_t> FindSection(std::string_view section) const {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == TLineKind::Section && SameName(lines[i].name, section)) return i;
        return std::nullopt;
    }
    // Index of the line after the last line of the section starting at header.
    size_t SectionEnd(size_t header) const {
        size_t i = header + 1;
        while (i < lines.size() && lines[i].kind != TLineKind::Section) ++i;
        return i;
    }
    std::optional<size_t> FindKey(std::string_view section, std::string_view key) const {
        const auto header = FindSection(section);
        if (!header) return std::nullopt;
        const size_t end = SectionEnd(*header);
        for (size_t i = *header + 1; i < end; ++i)
            if (lines[i].kind == TLineKind::Key && SameName(lines[i].name, key)) return i;
        return std::nullopt;
    }

    std::string Serialize() const {
        std::string out = bom;
        for (const TLine& l : lines) {
            out += l.raw;
            out += eol;
        }
        return out;
    }
};

TIniText Parse(std::string_view text) {
    TIniText ini;
    ini.existed = true;
    if (text.starts_with(kBom)) {
        ini.bom = kBom;
        text.remove_prefix(kBom.size());
    }
    const size_t firstLf = text.find('\n');
    if (firstLf != std::string_view::npos && firstLf > 0 && text[firstLf - 1] == '\r') ini.eol = "\r\n";
    while (!text.empty()) {
        const size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ini.lines.push_back(Classify(std::string(line)));
    }
    return ini;
}

std::string ErrorText(int err) { return std::strerror(err); }

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
    throw std::runtime_error("Cannot write the file \"" + path + "\": " + reason + ".");
}

// A failure of the file system, which the user can do something about.
[[noreturn]] void FailIo(const std::string& path, const std::string& reason) {
    Fail(path, reason + ". Check that its folder exists, is writable and has free space");
}

// The whole file, or nothing when it is missing, not a regular file or cannot be read.
std::optional<std::string> ReadWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.emplace();
        text->resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        for (;;) {
            if (done == text->size()) text->resize(done + 4096);  // the file grew meanwhile
            const ssize_t n = ::read(fd, text->data() + done, text->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                text.reset();
                break;
            }
            if (n == 0) {
                text->resize(done);
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return text;
}

// Reads before a rewrite: a file that exists but cannot be read must not be replaced by a file
// holding only the new key.
TIniText LoadForWrite(const std::string& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) Fail(path, ec.message());
    if (!fs::exists(st)) return {};
    if (!fs::is_regular_file(st)) Fail(path, "it is not a regular file");
    const auto text = ReadWhole(path);
    if (!text) Fail(path, "it cannot be read");
    return Parse(*text);
}

// Where the bytes really go: a symbolic link keeps pointing at the file it names.
fs::path WriteTarget(const std::string& path) {
    std::error_code ec;
    fs::path target(path);
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
        fs::path next = fs::read_symlink(target, ec);
        if (ec) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Replaces the file with content: a temporary file in the same folder, flushed to disk, then
// renamed over the original, so readers and crashes see either the old or the new file whole.
void ReplaceFile(const std::string& path, const std::string& content) {
    const fs::path target = WriteTarget(path);
    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) FailIo(path, "its folder cannot be created (" + ec.message() + ")");

    static std::atomic<unsigned> counter{0};
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir / ("." + target.filename().string() + ".tmp" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1)));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) FailIo(path, "no temporary file can be created in its folder (" + ErrorText(errno) + ")");

    auto abandon = [&](const std::string& reason) {
        ::close(fd);
        ::unlink(tmp.c_str());
        FailIo(path, reason);
    };
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    if (!WriteAll(fd, content)) abandon(ErrorText(errno));
    if (::fsync(fd) != 0) abandon(ErrorText(errno));
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        FailIo(path, ErrorText(err));
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        FailIo(path, ErrorText(err));
    }
    // Make the rename itself durable; a folder that cannot be synced is no reason to fail.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

void Store(const std::string& path, const TIniText& before, const TIniText& after) {
    const std::string content = after.Serialize();
    if (before.existed && content == before.Serialize()) return;
    ReplaceFile(path, content);
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void CheckNames(const std::string& path, const std::string& section, const std::string& key) {
    if (HasLineBreak(section) || Trim(section) != section)
        Fail(path, "the section name \"" + section + "\" is not valid");
    if (key.empty() || HasLineBreak(key) || Trim(key) != key || key.find('=') != std::string::npos ||
        key.front() == '[' || key.front() == ';' || key.front() == '#')
        Fail(path, "the key name \"" + key + "\" is not valid");
}

// The stored form of a value that reads back exactly: blanks at either end and a matching
// pair of quotes would be taken away by the reader, so such values get one more pair of quotes.
std::string StoredValue(const std::string& value) {
    const bool needsQuotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                                (value.size() >= 2 && IsQuote(value.front()) &&
                                                 value.front() == value.back()));
    return needsQuotes ? "\"" + value + "\"" : value;
}

}  // namespace

std::optional<int> IniParseInteger(std::string_view text) {
    std::string_view s = Trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        // Hexadecimal spans the 32 bits of the value: 0xFFFFFFFF reads as -1.
        uint64_t v = 0;
        for (char c : s.substr(2)) {
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return std::nullopt;
            v = v * 16 + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFu) return std::nullopt;
        }
        uint32_t bits = static_cast<uint32_t>(v);
        if (negative) bits = 0u - bits;
        return static_cast<int32_t>(bits);
    }
    if (s.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > static_cast<int64_t>(std::numeric_limits<int>::max()) + 1) return std::nullopt;
    }
    if (negative) v = -v;
    if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return std::nullopt;
    return static_cast<int>(v);
}

int IniStrToIntDef(std::string_view text, int def) { return IniParseInteger(text).value_or(def); }

TIniStore::TIniStore(std::string path) : path_(std::move(path)) {}

std::string TIniStore::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    const auto text = ReadWhole(path_);
    if (!text) return def;
    return FindValue(*text, section, key).value_or(def);
}

int TIniStore::ReadInteger(const std::string& section, const std::string& key, int def) const {
    const auto text = ReadWhole(path_);
    if (!text) return def;
    const auto value = FindValue(*text, section, key);
    return value ? IniStrToIntDef(*value, def) : def;
}

bool TIniStore::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniStore::SectionExists(const std::string& section) const {
    const auto text = ReadWhole(path_);
    bool found = false;
    if (text)
        ForEachLine(*text, [&](const TLineView& l) {
            found = l.kind == TLineKind::Section && SameName(l.name, section);
            return !found;
        });
    return found;
}

bool TIniStore::ValueExists(const std::string& section, const std::string& key) const {
    const auto text = ReadWhole(path_);
    return text && FindValue(*text, section, key).has_value();
}

std::vector<std::string> TIniStore::ReadSection(const std::string& section) const {
    std::vector<std::string> keys;
    for (auto& kv : ReadSectionValues(section)) keys.push_back(std::move(kv.first));
    return keys;
}

std::vector<std::pair<std::string, std::string>> TIniStore::ReadSectionValues(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    const auto text = ReadWhole(path_);
    if (!text) return out;
    ForEachKeyOfSection(*text, section, [&](const TLineView& l) {
        bool seen = false;
        for (const auto& kv : out) seen = seen || SameName(kv.first, l.name);
        if (!seen) out.emplace_back(std::string(l.name), std::string(l.value));
        return true;
    });
    return out;
}

std::vector<std::string> TIniStore::ReadSections() const {
    std::vector<std::string> out;
    const auto text = ReadWhole(path_);
    if (!text) return out;
    ForEachLine(*text, [&](const TLineView& l) {
        if (l.kind != TLineKind::Section) return true;
        bool seen = false;
        for (const auto& name : out) seen = seen || SameName(name, l.name);
        if (!seen) out.emplace_back(l.name);
        return true;
    });
    return out;
}

void TIniStore::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    CheckNames(path_, section, key);
    if (HasLineBreak(value)) Fail(path_, "the value of \"" + key + "\" holds a line break");
    const TIniText before = LoadForWrite(path_);
    TIniText after = before;
    const std::string line = key + "=" + StoredValue(value);
    if (const auto i = after.FindKey(section, key)) {
        // Keep the key's stored spelling; only the value changes.
        after.lines[*i] = Classify(after.lines[*i].name + "=" + StoredValue(value));
    } else if (const auto header = after.FindSection(section)) {
        // After the section's last key, so comments and blank lines before the next header stay there.
        size_t at = *header + 1;
        const size_t end = after.SectionEnd(*header);
        for (size_t j = *header + 1; j < end; ++j)
            if (after.lines[j].kind == TLineKind::Key) at = j + 1;
        after.lines.insert(after.lines.begin() + static_cast<std::ptrdiff_t>(at), Classify(line));
    } else {
        if (!after.lines.empty() && !Trim(after.lines.back().raw).empty()) after.lines.push_back(Classify(""));
        after.lines.push_back(Classify("[" + section + "]"));
        after.lines.push_back(Classify(line));
    }
    Store(path_, before, after);
}

void TIniStore::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TIniStore::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniStore::DeleteKey(const std::string& section, const std::string& key) {
    const TIniText before = LoadForWrite(path_);
    TIniText after = before;
    // Every duplicate goes, or the next one would surface as the key's value.
    while (const auto i = after.FindKey(section, key))
        after.lines.erase(after.lines.begin() + static_cast<std::ptrdiff_t>(*i));
    if (before.existed) Store(path_, before, after);
}

void TIniStore::EraseSection(const std::string& section) {
    const TIniText before = LoadForWrite(path_);
    TIniText after = before;
    while (const auto header = after.FindSection(section)) {
        const size_t end = after.SectionEnd(*header);
        after.lines.erase(after.lines.begin() + static_cast<std::ptrdiff_t>(*header),
                          after.lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
    if (before.existed) Store(path_, before, after);
}
