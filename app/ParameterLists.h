#pragma once
// The ten parameter boxes of an output format (frame size, video encoder, video bit rate, frame
// rate, zoom; sample rate, audio encoder, channel, audio bit rate, volume) and the rules that fill
// them from the format file and store the user's choices in the format's section of the settings
// file. The GUI mirrors its combo boxes in a TParameterPanel, runs a rule, and copies the panel
// back; the command line uses the same rules without widgets. Messages go through IUserPrompt.
//
// Threads: the GUI thread only (the settings file is touched from there alone). Nothing here
// keeps state between calls besides the boxes the caller owns.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class TIniStore;

// Messages of the rules, verbatim.
inline constexpr const char* kMsgFrameSizeInvalid = "Frame Size is not a valid value!";
inline constexpr const char* kMsgVideoBitRateInvalid = "Video BitRate is not a valid value!";
inline constexpr const char* kMsgSampleRateInvalid = "Audio SampleRate is not a valid value!";
inline constexpr const char* kMsgAudioBitRateInvalid = "Audio BitRate is not a valid value!";
inline constexpr const char* kMsgFrameSizeEven = "Frame Size must be a multiple of 2.\nThe correct value:";
inline constexpr const char* kMsgEnterNumerical = "Please enter numerical.";
inline constexpr const char* kCaptionInputError = "Input Error!";
inline constexpr const char* kAsSource = "as source";

// A text that should have been a whole number and is not (a volume item). The application's
// exception handler shows its message.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// How the rules talk to the user. The GUI shows modal boxes; tests and the command line record.
class IUserPrompt {
public:
    virtual ~IUserPrompt() = default;
    // Information box, the application title as caption, button OK.
    virtual void ShowMessage(const std::string& text) = 0;
    // Plain message box with the given caption, button OK.
    virtual void ShowMessageBox(const std::string& caption, const std::string& text) = 0;
    // Question box with Yes and No and the question icon; true for Yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
    virtual void Beep() = 0;
};

// What the rules see of one combo box.
struct TParameterBox {
    std::vector<std::string> items;
    std::string text;
    int itemIndex = -1;  // -1: no item selected (typed text that is no item, or nothing)
    bool enabled = true;
    bool greyText = false;
    int dropDownCount = 0;
    bool focusRequested = false;  // set by a rule that wants the box focused; the GUI clears it

    // Replaces the items; no selection and empty text afterwards.
    void SetItems(std::vector<std::string> newItems);
    // Selects the item at position; a position outside the list selects nothing and empties the text.
    void Select(int position);
    // Text typed or restored: selects the item it equals (ignoring letter case), else nothing.
    void SetText(std::string newText);
    // Position of the item equal to s ignoring letter case, or -1.
    int IndexOf(std::string_view s) const;
    int Count() const { return static_cast<int>(items.size()); }
};

// The ten boxes, named as in the main window.
struct TParameterPanel {
    TParameterBox cmbVideoSize, cmbVideoEncoder, cmbVideoBitRate, cmbFrameRate, cmbZoom;
    TParameterBox cmbSamplerate, cmbAudioEncoder, cmbChannel, cmbAudioBitRate, cmbVolume;
    // The zoom box starts with its design-time items, replaced when a format is loaded.
    TParameterPanel();
};

// The zoom items that loading a format puts in, and the stored values of positions 0..2.
inline constexpr const char* kZoomItems[] = {"Full Screen", "Letter Box", "Pan and Scan"};
inline constexpr const char* kZoomValues[] = {"full", "lbox", "pan"};

// ---- Pure rules ---------------------------------------------------------------------------

// A list value: split at every comma; the text after the last comma is an item too, and two
// adjacent commas give an empty item.
std::vector<std::string> SplitList(std::string_view value);

// The whole text is a 32-bit integer (leading blanks and a sign allowed).
bool IsIntegerText(std::string_view text);
// The whole text is a floating-point number with "." as decimal point (exponent allowed).
bool IsFloatText(std::string_view text);
// The value of a text for which IsIntegerText holds.
int IntegerOfText(std::string_view text);

// Stored value for an encoder item (compared in lower case), or nothing for an unknown item.
std::optional<std::string> VideoEncoderValue(std::string_view itemText);
std::optional<std::string> AudioEncoderValue(std::string_view itemText);
// Stored value for a channel item (compared exactly), or nothing.
std::optional<std::string> ChannelValue(std::string_view itemText);
// Engine volume for a volume item ("100%" gives "256"), or nothing for a number outside the
// table. Throws EConvertError when the item without its last character is not a whole number.
std::optional<std::string> VolumeValue(std::string_view itemText);
// "full", "lbox", "pan" for 0..2; nothing otherwise.
std::optional<std::string> ZoomValue(int position);
// Position for a stored zoom value: full 0, lbox 1, pan 2, center 3; -1 for anything else.
int ZoomPosition(std::string_view value);

// Frame-size text check without side effects.
struct TFrameSizeCheck {
    enum TKind { fkAsSource, fkInvalid, fkValid, fkCorrected };
    TKind kind = fkInvalid;
    int width = 0;   // fkValid: as typed; fkCorrected: the even size to use
    int height = 0;
};
TFrameSizeCheck CheckFrameSizeText(std::string_view text);

// Key filters. Keys are characters; Backspace is '\b'.
enum TKeyVerdict { kvAccept, kvDiscard, kvDiscardWithMessage };
// Video bit rate, sample rate and audio bit rate: Backspace and digits.
TKeyVerdict NumericKeyVerdict(char32_t key);
// Frame size: anything into an empty box, else Backspace, digits, and one "x".
TKeyVerdict FrameSizeKeyVerdict(std::string_view currentText, char32_t key);
// Shows "Please enter numerical." and/or beeps as the verdict says; true when the key stays.
bool ApplyKeyVerdict(TKeyVerdict verdict, IUserPrompt& prompt);

// ---- Box validation shared by the main window and the format settings dialog ---------------

// Frame-size check up to the point of storing: "as source" passes untouched (false); a text that
// is no size shows kMsgFrameSizeInvalid, selects position 1 when the box has more than one item,
// and asks for focus (false); an odd or zero size is corrected to even in the box after the
// "Input Error!" box (true); a valid size is left (true). True means: the box holds a size to store.
bool ValidateFrameSizeBox(TParameterBox& box, IUserPrompt& prompt);

enum TNumberRule { nrInteger, nrDecimal };
// The text is a number by rule, or exactly "as source"; otherwise message, select position 1
// when the box has more than one item, ask for focus and return false.
bool ValidateNumberBox(TParameterBox& box, TNumberRule rule, const char* message, IUserPrompt& prompt);

// ---- Loading (reads only) -------------------------------------------------------------------

// Fills the boxes for a format: the nine lists from the format file, the current choices from the
// settings file. Runs no change rule and writes nothing.
void LoadFormat(TParameterPanel& panel, const TIniStore& formatFile, const TIniStore& settings, int code);

// Step 1 of loading for one list key: empties the box, fills and enables it when the key holds a
// list, disables it otherwise. Empty counts as "no list" when emptyIsNull.
void LoadList(TParameterBox& box, const TIniStore& formatFile, int code, const char* key, bool emptyIsNull);

// ---- Storing rules ----------------------------------------------------------------------------

// The change rules of the boxes of one format. Each stores into the section of `code` of the
// settings file, or shows its message and leaves the file as it was.
class TParameterRules {
public:
    TParameterRules(const TIniStore& formatFile, TIniStore& settings, IUserPrompt& prompt, int code);

    void VideoEncoderChange(const TParameterBox& box);
    void FrameRateChange(const TParameterBox& box);
    void VideoBitRateChange(TParameterBox& box);
    void SampleRateChange(TParameterBox& box);
    void AudioBitRateChange(TParameterBox& box);
    void AudioEncoderChange(const TParameterBox& box);
    void ChannelChange(const TParameterBox& box);
    // Stores the position first; throws EConvertError for an item that is not a number.
    void VolumeChange(const TParameterBox& box);
    void ZoomChange(const TParameterBox& box);
    // A frame size chosen from the list.
    void VideoSizeSelect(const TParameterBox& box);
    // Leaving the frame-size box (also run by Start and Default).
    void CheckVideoSize(TParameterBox& box);

    // The Default button: rebuilds the frame-size and the three rate lists, selects every default
    // position of the format file and zoom 0, and runs the rules in order so that all is stored.
    void Default(TParameterPanel& panel);

    // The extra H.264 settings of the format file, copied into the settings section.
    void CopyH264Extras();

    const std::string& Section() const { return section_; }

private:
    const TIniStore& formatFile_;
    TIniStore& settings_;
    IUserPrompt& prompt_;
    int code_;
    std::string section_;
};

// What the Default button stores for a freshly loaded format: LoadFormat, then Default. The
// initial settings shipped with the program hold exactly this for every format.
void StoreFormatDefaults(const TIniStore& formatFile, TIniStore& settings, IUserPrompt& prompt, int code);
