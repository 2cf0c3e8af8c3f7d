#pragma once
// File names between the application and the libraries. Names are UTF-8 everywhere on this
// platform, so a name reaches the libraries unchanged; a name that arrives in the
// "unicode:utf8:" form is opened through our own I/O context over the file.
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// What the libraries are given for a file name.
std::string LibraryFileName(const std::string& name);
// What the application is shown for a name the libraries hold.
std::string WideFileName(const std::string& libraryName);

// avformat_open_input that also understands "unicode:utf8:" names (through our I/O context,
// which the returned context owns and frees with avformat_close_input via InputContextDeleter
// semantics). Returns 0 or a negative AVERROR, like avformat_open_input.
int OpenInputFile(AVFormatContext** ctx, const std::string& libraryName, const AVInputFormat* fmt,
                  AVDictionary** options);
// avio_open2 counterpart for outputs (AVIO_FLAG_WRITE), with the same name handling.
int OpenOutputFile(AVIOContext** pb, const std::string& libraryName, AVDictionary** options);
// Closes what OpenOutputFile opened.
void CloseOutputFile(AVIOContext** pb);
