#pragma once
// Small media files made with the ffmpeg tool at test time, cached in the build tree.
#include <string>
#include <vector>

namespace testmedia {

// Path of the named fixture, made on first use. Names (see TestMedia.cpp for the recipes):
//   av.mp4 av.mkv av.avi av.mov av.ts av.flv av.ogg av.webm   2 s video 320x240@25 + stereo audio
//   audio.wav audio.mp3                                          2 s stereo sine, 44.1 kHz
//   short.mp4    1 s video 320x240@25 + stereo audio; short.wav  1 s stereo sine, 44.1 kHz
//   odd.mkv                                                      175x97 video (stored 174x96), 1 s, no audio
//   oddsize.mkv                                                  175x97 video kept odd (4:4:4), 1 s, no audio
//   meta.mkv     title/artist/album/comment tags, audio language "eng"
//   ntsc.ts      160x120 video at 30000/1001 + audio with language "eng" only, 1 s
//   6ch.mkv      video + 6-channel audio
//   truncated.mp4 truncated.ts                                   cut to a third
//   random.bin                                                   64 KiB of random bytes
// Fails the current test (and returns "") when the tool cannot make it.
std::string Fixture(const std::string& name);

// Folder of the cached fixtures.
std::string FixtureDir();

// A fresh empty folder for a test's outputs, removed at exit of the test program.
std::string TempDir();

// Runs a command through the shell; returns its exit status and fills out with stdout (+stderr when mergeStderr).
int Run(const std::string& command, std::string* out = nullptr, bool mergeStderr = false);

// Path of the built quillmar-cli.
std::string CliPath();

// Whole-file helpers for tests that check bytes on disk.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// Names in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& dir);

// Quotes a path for the shell.
std::string Quote(const std::string& s);

}  // namespace testmedia
