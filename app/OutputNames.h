#pragma once
// Destination names of a batch: "<base>_(new)<suffix>" in the output folder, or the first free
// "<base>_(new_N)<suffix>". An output folder that cannot be created is reported once through the
// prompt and replaced, in the settings too, by the default output folder.
//
// Threads: the GUI thread (quillmar-cli: its main thread); the settings file is read and written
// at every call.
#include <set>
#include <string>

class TAppSettings;
class IUserPrompt;

inline constexpr const char* kMsgCannotCreateOutputDir = "Cannot create output directory:";

// The destination path for source (only its base name counts) with suffix (".mp4"). Never names
// an existing file, directory or link, not even a dangling one, nor a path in reserved (the
// destinations already given to earlier tasks of the same batch, which do not exist yet).
std::string BuildOutputName(TAppSettings& settings, IUserPrompt& prompt, const std::string& source,
                            const std::string& suffix, const std::set<std::string>& reserved = {});
