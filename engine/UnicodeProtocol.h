#pragma once
// File names between the application and the libraries. Names are UTF-8 everywhere on this
// platform, so most names reach the libraries unchanged; a name the libraries would misread
// (see LibraryFileName) travels in the "unicode:utf8:" form and is opened through our own I/O
// context over the file, since today's libraries cannot register a protocol of ours.
//
// Threads: every function may be called from any thread; each call works on its own data.
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// The prefix of names opened through our own I/O context.
inline constexpr char kUnicodeUrlPrefix[] = "unicode:utf8:";

// What the libraries are given for a file name.
std::string LibraryFileName(const std::string& name);
// What the application is shown for a name the libraries hold.
std::string WideFileName(const std::string& libraryName);
// True for a name that OpenInputFile/OpenOutputFile open through our own I/O context.
bool IsUnicodeUrl(const std::string& libraryName);

// The protocol cannot be registered with today's libraries; the loader calls this after binding
// avformat and it does nothing.
void RegisterUnicodeProtocol();

// avformat_open_input that also understands "unicode:utf8:" names (through our I/O context).
// Returns 0 or a negative AVERROR, like avformat_open_input; a missing file is AVERROR(ENOENT).
// Close the result with CloseInputFile (av::InputContextPtr does), never avformat_close_input
// alone: that leaves our I/O context and its file open.
int OpenInputFile(AVFormatContext** ctx, const std::string& libraryName, const AVInputFormat* fmt,
                  AVDictionary** options);
// Closes what OpenInputFile opened, and sets *ctx to nullptr. Safe on nullptr and on contexts
// opened by avformat_open_input directly.
void CloseInputFile(AVFormatContext** ctx);

// avio_open2 counterpart for outputs (AVIO_FLAG_WRITE: created or truncated), with the same
// name handling. Returns 0 or a negative AVERROR.
int OpenOutputFile(AVIOContext** pb, const std::string& libraryName, AVDictionary** options);
// Flushes and closes what OpenOutputFile opened (or any avio_open2 context), sets *pb to
// nullptr. Returns 0, or a negative AVERROR when buffered data could not be written.
int CloseOutputFile(AVIOContext** pb);
