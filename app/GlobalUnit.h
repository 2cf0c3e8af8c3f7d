#pragma once
// The application-wide object and what start-up needs around it: where the settings and format
// files live, the version text, the keys of the "settings" section with their reading rules, and
// how an exception that nobody caught is shown to the user.
//
// Threads: everything here is used from the GUI thread (quillmar-cli: its main thread). The
// functions that read the environment or the file system hold no state of their own.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "app/IniStore.h"

inline constexpr const char* kProductTitle = "Quillmar";
// Shown in the caption until the main window replaces it with GetFileVersionText().
inline constexpr const char* kInitialVersionText = " ver 1.60 ";
inline constexpr const char* kHelpUrl = "https://quillmar.example.org/help/";
inline constexpr const char* kWebSiteUrl = "https://quillmar.example.org/";
inline constexpr const char* kSettingsFileName = "quillmar.ini";
inline constexpr const char* kFormatFileName = "quillmarformat.ini";

// The one application-wide object: two file paths and the product strings. Its setters ignore
// values that cannot be meant (empty texts, paths of three characters or fewer).
class TGlobalObject {
public:
    // Start-up values for the running program's folder.
    TGlobalObject();
    // Start-up values for the given program folder (a trailing '/' is added when missing).
    explicit TGlobalObject(const std::string& programFolder);

    const std::string& HelpUrl() const { return helpUrl_; }
    const std::string& SettingsFile() const { return settingsFile_; }
    const std::string& FormatFile() const { return formatFile_; }
    const std::string& ProductTitle() const { return productTitle_; }
    const std::string& VersionText() const { return versionText_; }
    const std::string& WebSiteUrl() const { return webSiteUrl_; }

    void SetHelpUrl(const std::string& value);
    void SetSettingsFile(const std::string& value);
    void SetFormatFile(const std::string& value);
    void SetProductTitle(const std::string& value);
    void SetVersionText(const std::string& value);
    void SetWebSiteUrl(const std::string& value);

private:
    std::string helpUrl_;
    std::string settingsFile_;
    std::string formatFile_;
    std::string productTitle_;
    std::string versionText_;
    std::string webSiteUrl_;
};

// The main window's caption: the product title followed by the version text.
std::string MainWindowCaption(const TGlobalObject& global);

// " major.minor.release.build " of the compiled-in version, e.g. " 1.60.0.0 ".
std::string GetFileVersionText();
std::string GetFileVersionText(uint16_t major, uint16_t minor, uint16_t release, uint16_t build);

// ---- Folders and files -------------------------------------------------------------------

// Folder of the running program file, with a trailing '/'.
std::string ProgramFolder();
// The user's home folder ($HOME, else the password database), without a trailing '/'.
std::string HomeFolder();
// Per-user settings folder: $XDG_CONFIG_HOME (when absolute) or ~/.config, then "quillmar/".
std::string UserConfigFolder();
// Installed data of a program in <prefix>/bin/: <prefix>/share/quillmar/.
std::string InstalledDataFolder(const std::string& programFolder);
// The default output and snapshot folder: "quillmar" in the home folder.
std::string DefaultOutputDir();

// The settings file beside the program when it exists there or the folder is writable,
// otherwise in the per-user settings folder. The pure rule is separate so it can be tested.
std::string ChooseSettingsFile(const std::string& programFolder, bool existsBesideProgram, bool programFolderWritable,
                               const std::string& userConfigFolder);
std::string LocateSettingsFile(const std::string& programFolder);
// The format file beside the program when it exists there, otherwise the installed one.
std::string LocateFormatFile(const std::string& programFolder);
// The initial settings shipped with the program.
std::string ShippedSettingsFile(const std::string& programFolder);

// Creates the settings file as a copy of the shipped one when it does not exist yet. Never
// replaces an existing file, not even one created meanwhile by another process; the copy
// appears whole or not at all. Returns whether it made the copy; false also when there is no
// shipped file (the defaults then apply). Throws std::runtime_error naming the file when the
// copy cannot be made.
bool EnsureSettingsFile(const std::string& settingsPath, const std::string& shippedPath);

// ---- The "settings" section ---------------------------------------------------------------

inline constexpr const char* kSettingsSection = "settings";
inline constexpr const char* kLstFormatSection = "lstformat";
inline constexpr const char* kFormatInfoSectionPrefix = "formatInfo";

inline constexpr const char* kKeySkinIndex = "skinIndex";
inline constexpr const char* kKeyOutPutDir = "OutPutDir";
inline constexpr const char* kKeyOutPutFormat = "OutPutFormat";
inline constexpr const char* kKeyFormatCode = "FormatCode";
inline constexpr const char* kKeyFormatName = "FormatName";
inline constexpr const char* kKeyVolume = "volume";
inline constexpr const char* kKeyMute = "mute";
inline constexpr const char* kKeyPriority = "priority";
inline constexpr const char* kKeySnapOutPutDir = "SnapOutPutDir";
inline constexpr const char* kKeySnapFullSize = "snapFullSize";
inline constexpr const char* kKeySnapSmallSize = "snapSmallSize";
inline constexpr const char* kKeySnapBmp = "snapBmp";
inline constexpr const char* kKeySnapJpg = "snapJpg";
inline constexpr const char* kKeyJpgCmp = "jpgCmp";

inline constexpr int kSkinCount = 7;          // "Default" (0) to "Light blue" (6)
inline constexpr int kVolumeMax = 128;
inline constexpr int kVolumeOutOfRange = 64;  // what a stored volume outside 0..128 becomes
inline constexpr int kDefaultFormatCode = 1;
inline constexpr const char* kDefaultFormatName = "iPod Video MPEG-4";  // main window's default
inline constexpr const char* kChooserDefaultFormatName = "Apple iPod Video MPEG-4 Movie (*.mp4)";
inline constexpr int kDefaultPriority = 1;
inline constexpr int kDefaultJpgCmp = 30;

// Typed access to the "settings" section with each key's default and rule. Every call reads or
// writes the file at once (no cache). Writers throw what TIniStore throws.
class TAppSettings {
public:
    explicit TAppSettings(std::string settingsFile);
    TIniStore& Store() { return store_; }

    // 0..6; anything else (or missing) is 0, the "Default" theme.
    int SkinIndex() const;
    void SetSkinIndex(int index);
    std::string OutPutDir() const;  // missing: DefaultOutputDir()
    void SetOutPutDir(const std::string& dir);
    int OutPutFormat() const;  // missing: 0
    void SetOutPutFormat(int value);
    int FormatCode() const;  // missing or not a number: 1
    void SetFormatCode(int code);
    std::string FormatName(const std::string& def = kDefaultFormatName) const;
    void SetFormatName(const std::string& name);
    // Missing: 0; a stored value outside 0..128: 64.
    int Volume() const;
    void SetVolume(int volume);
    // 1: checked; 0 or missing: unchecked; any other stored value: leave the check box as it is.
    std::optional<bool> Mute() const;
    void SetMute(bool mute);
    int Priority() const;  // missing: 1
    void SetPriority(int priority);
    std::string SnapOutPutDir() const;  // missing: DefaultOutputDir()
    // An empty folder is stored as DefaultOutputDir().
    void SetSnapOutPutDir(const std::string& dir);
    bool SnapFullSize() const;  // missing: true (likewise the three below)
    bool SnapSmallSize() const;
    bool SnapBmp() const;
    bool SnapJpg() const;
    void SetSnapFullSize(bool on);
    void SetSnapSmallSize(bool on);
    void SetSnapBmp(bool on);
    void SetSnapJpg(bool on);
    int JpgCmp() const;  // missing: 30
    // Only a quality above 0 is stored; others leave the stored value.
    void SetJpgCmp(int quality);

private:
    TIniStore store_;
};

// ---- Exceptions nobody caught ------------------------------------------------------------

// The message as shown: a full stop is appended when the last character's code is above that
// of '.' (so "!" and ")" endings stay as they are); an empty message stays empty.
std::string AppExceptionMessage(const std::string& message);

enum class TExceptionBox {
    Warning,  // engine errors (FFmpegException)
    Error,    // everything else
    None,     // nothing to show
};

struct TExceptionReport {
    TExceptionBox box = TExceptionBox::None;
    std::string message;  // already through AppExceptionMessage
};

// How the application-wide handler shows an exception (caption: the product title). Faults
// such as invalid memory access arrive as signals, not exceptions, so they never come here;
// None is the answer for an empty exception pointer.
TExceptionReport DescribeException(std::exception_ptr error);
