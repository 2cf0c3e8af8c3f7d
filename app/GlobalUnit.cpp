#include "app/GlobalUnit.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "Version.h"
#include "engine/Types.h"

namespace fs = std::filesystem;

namespace {

std::string WithTrailingSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// Characters, not bytes: a UTF-8 sequence counts once.
size_t CharacterCount(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

void SetIfNotEmpty(std::string& field, const std::string& value) {
    if (!value.empty()) field = value;
}

void SetIfLongerThanThree(std::string& field, const std::string& value) {
    if (CharacterCount(value) > 3) field = value;
}

std::string EnvValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

[[noreturn]] void CopyFailed(const std::string& target, const std::string& shipped, const std::string& reason) {
    throw std::runtime_error("Cannot create the settings file \"" + target + "\" from \"" + shipped + "\": " + reason +
                             ". Check that its folder exists and is writable.");
}

}  // namespace

// ---- TGlobalObject ---------------------------------------------------------------------------

TGlobalObject::TGlobalObject() : TGlobalObject(ProgramFolder()) {}

TGlobalObject::TGlobalObject(const std::string& programFolder) {
    const std::string folder = WithTrailingSlash(programFolder);
    SetSettingsFile(LocateSettingsFile(folder));
    SetFormatFile(LocateFormatFile(folder));
    SetProductTitle(kProductTitle);
    SetVersionText(kInitialVersionText);
    SetWebSiteUrl(kWebSiteUrl);
    SetHelpUrl(kHelpUrl);
}

void TGlobalObject::SetHelpUrl(const std::string& value) { SetIfNotEmpty(helpUrl_, value); }
void TGlobalObject::SetSettingsFile(const std::string& value) { SetIfLongerThanThree(settingsFile_, value); }
void TGlobalObject::SetFormatFile(const std::string& value) { SetIfLongerThanThree(formatFile_, value); }
void TGlobalObject::SetProductTitle(const std::string& value) { SetIfNotEmpty(productTitle_, value); }
void TGlobalObject::SetVersionText(const std::string& value) { SetIfNotEmpty(versionText_, value); }
void TGlobalObject::SetWebSiteUrl(const std::string& value) { SetIfNotEmpty(webSiteUrl_, value); }

std::string MainWindowCaption(const TGlobalObject& global) { return global.ProductTitle() + global.VersionText(); }

std::string GetFileVersionText() {
    return GetFileVersionText(QUILLMAR_VERSION_MAJOR, QUILLMAR_VERSION_MINOR, QUILLMAR_VERSION_PATCH,
                              QUILLMAR_VERSION_TWEAK);
}

std::string GetFileVersionText(uint16_t major, uint16_t minor, uint16_t release, uint16_t build) {
    return " " + std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) + "." +
           std::to_string(build) + " ";
}

// ---- Folders and files -------------------------------------------------------------------

std::string ProgramFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.has_parent_path()) return WithTrailingSlash(exe.parent_path().string());
    const fs::path cwd = fs::current_path(ec);
    return WithTrailingSlash(ec ? std::string(".") : cwd.string());
}

std::string HomeFolder() {
    std::string home = EnvValue("HOME");
    if (home.empty()) {
        std::vector<char> buf(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) home = "/";
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home;
}

std::string UserConfigFolder() {
    std::string base = EnvValue("XDG_CONFIG_HOME");
    // Relative values are to be ignored.
    if (base.empty() || base.front() != '/') base = (HomeFolder() == "/" ? "" : HomeFolder()) + "/.config";
    return WithTrailingSlash(base) + "quillmar/";
}

std::string InstalledDataFolder(const std::string& programFolder) {
    fs::path bin = fs::path(WithTrailingSlash(programFolder)).parent_path();  // drops the trailing '/'
    return WithTrailingSlash((bin.parent_path() / "share" / "quillmar").string());
}

std::string DefaultOutputDir() {
    const std::string home = HomeFolder();
    return (home == "/" ? "" : home) + "/quillmar";
}

std::string ChooseSettingsFile(const std::string& programFolder, bool existsBesideProgram, bool programFolderWritable,
                               const std::string& userConfigFolder) {
    if (existsBesideProgram || programFolderWritable) return WithTrailingSlash(programFolder) + kSettingsFileName;
    return WithTrailingSlash(userConfigFolder) + kSettingsFileName;
}

std::string LocateSettingsFile(const std::string& programFolder) {
    const std::string folder = WithTrailingSlash(programFolder);
    std::error_code ec;
    const bool exists = fs::exists(folder + kSettingsFileName, ec);
    const bool writable = ::access(folder.c_str(), W_OK) == 0;
    return ChooseSettingsFile(folder, exists, writable, UserConfigFolder());
}

std::string LocateFormatFile(const std::string& programFolder) {
    const std::string beside = WithTrailingSlash(programFolder) + kFormatFileName;
    std::error_code ec;
    if (fs::exists(beside, ec)) return beside;
    return InstalledDataFolder(programFolder) + kFormatFileName;
}

std::string ShippedSettingsFile(const std::string& programFolder) {
    return InstalledDataFolder(programFolder) + kSettingsFileName;
}

bool EnsureSettingsFile(const std::string& settingsPath, const std::string& shippedPath) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(settingsPath, ec))) return false;
    if (!fs::is_regular_file(shippedPath, ec)) return false;

    std::string content;
    try {
        std::ifstream in(shippedPath, std::ios::binary);
        if (!in) CopyFailed(settingsPath, shippedPath, "the shipped file cannot be read");
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) CopyFailed(settingsPath, shippedPath, "the shipped file cannot be read");
    } catch (const std::ios_base::failure& e) {
        CopyFailed(settingsPath, shippedPath, e.what());
    }

    const fs::path target(settingsPath);
    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    fs::create_directories(dir, ec);
    if (ec) CopyFailed(settingsPath, shippedPath, ec.message());

    // The copy is written under a temporary name and then moved into place without replacing
    // anything, so a reader never sees half a file and a file made meanwhile wins.
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir / ("." + target.filename().string() + ".new" + std::to_string(::getpid()) + "-" +
                     std::to_string(attempt));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) CopyFailed(settingsPath, shippedPath, std::strerror(errno));
    auto fail = [&](int err) {
        ::unlink(tmp.c_str());
        CopyFailed(settingsPath, shippedPath, std::strerror(err));
    };
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            fail(err);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        fail(err);
    }
    if (::close(fd) != 0) fail(errno);
    int moved = ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        // File systems without that rename flag: a hard link refuses to replace just the same.
        moved = ::link(tmp.c_str(), target.c_str());
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
    }
    if (moved != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        if (err == EEXIST) return false;
        CopyFailed(settingsPath, shippedPath, std::strerror(err));
    }
    return true;
}

// ---- TAppSettings ----------------------------------------------------------------------------

TAppSettings::TAppSettings(std::string settingsFile) : store_(std::move(settingsFile)) {}

int TAppSettings::SkinIndex() const {
    const int index = store_.ReadInteger(kSettingsSection, kKeySkinIndex, 0);
    return index >= 0 && index < kSkinCount ? index : 0;
}
void TAppSettings::SetSkinIndex(int index) { store_.WriteInteger(kSettingsSection, kKeySkinIndex, index); }

std::string TAppSettings::OutPutDir() const {
    return store_.ReadString(kSettingsSection, kKeyOutPutDir, DefaultOutputDir());
}
void TAppSettings::SetOutPutDir(const std::string& dir) { store_.WriteString(kSettingsSection, kKeyOutPutDir, dir); }

int TAppSettings::OutPutFormat() const { return store_.ReadInteger(kSettingsSection, kKeyOutPutFormat, 0); }
void TAppSettings::SetOutPutFormat(int value) { store_.WriteInteger(kSettingsSection, kKeyOutPutFormat, value); }

int TAppSettings::FormatCode() const {
    return store_.ReadInteger(kSettingsSection, kKeyFormatCode, kDefaultFormatCode);
}
void TAppSettings::SetFormatCode(int code) { store_.WriteInteger(kSettingsSection, kKeyFormatCode, code); }

std::string TAppSettings::FormatName(const std::string& def) const {
    return store_.ReadString(kSettingsSection, kKeyFormatName, def);
}
void TAppSettings::SetFormatName(const std::string& name) {
    store_.WriteString(kSettingsSection, kKeyFormatName, name);
}

int TAppSettings::Volume() const {
    const int volume = store_.ReadInteger(kSettingsSection, kKeyVolume, 0);
    return volume >= 0 && volume <= kVolumeMax ? volume : kVolumeOutOfRange;
}
void TAppSettings::SetVolume(int volume) { store_.WriteInteger(kSettingsSection, kKeyVolume, volume); }

std::optional<bool> TAppSettings::Mute() const {
    switch (store_.ReadInteger(kSettingsSection, kKeyMute, 0)) {
        case 0: return false;
        case 1: return true;
        default: return std::nullopt;
    }
}
void TAppSettings::SetMute(bool mute) { store_.WriteBool(kSettingsSection, kKeyMute, mute); }

int TAppSettings::Priority() const { return store_.ReadInteger(kSettingsSection, kKeyPriority, kDefaultPriority); }
void TAppSettings::SetPriority(int priority) { store_.WriteInteger(kSettingsSection, kKeyPriority, priority); }

std::string TAppSettings::SnapOutPutDir() const {
    return store_.ReadString(kSettingsSection, kKeySnapOutPutDir, DefaultOutputDir());
}
void TAppSettings::SetSnapOutPutDir(const std::string& dir) {
    store_.WriteString(kSettingsSection, kKeySnapOutPutDir, dir.empty() ? DefaultOutputDir() : dir);
}

bool TAppSettings::SnapFullSize() const { return store_.ReadBool(kSettingsSection, kKeySnapFullSize, true); }
bool TAppSettings::SnapSmallSize() const { return store_.ReadBool(kSettingsSection, kKeySnapSmallSize, true); }
bool TAppSettings::SnapBmp() const { return store_.ReadBool(kSettingsSection, kKeySnapBmp, true); }
bool TAppSettings::SnapJpg() const { return store_.ReadBool(kSettingsSection, kKeySnapJpg, true); }
void TAppSettings::SetSnapFullSize(bool on) { store_.WriteBool(kSettingsSection, kKeySnapFullSize, on); }
void TAppSettings::SetSnapSmallSize(bool on) { store_.WriteBool(kSettingsSection, kKeySnapSmallSize, on); }
void TAppSettings::SetSnapBmp(bool on) { store_.WriteBool(kSettingsSection, kKeySnapBmp, on); }
void TAppSettings::SetSnapJpg(bool on) { store_.WriteBool(kSettingsSection, kKeySnapJpg, on); }

int TAppSettings::JpgCmp() const { return store_.ReadInteger(kSettingsSection, kKeyJpgCmp, kDefaultJpgCmp); }
void TAppSettings::SetJpgCmp(int quality) {
    if (quality > 0) store_.WriteInteger(kSettingsSection, kKeyJpgCmp, quality);
}

// ---- Exceptions nobody caught ------------------------------------------------------------

std::string AppExceptionMessage(const std::string& message) {
    // Compared as unsigned, so a message ending in a non-ASCII letter gets its full stop too.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

TExceptionReport DescribeException(std::exception_ptr error) {
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const FFmpegException& e) {
        return {TExceptionBox::Warning, AppExceptionMessage(e.what())};
    } catch (const std::exception& e) {
        return {TExceptionBox::Error, AppExceptionMessage(e.what())};
    } catch (...) {
        return {TExceptionBox::Error, "An unexpected error occurred."};
    }
}
