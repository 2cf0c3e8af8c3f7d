#include "engine/FFUtils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "engine/Types.h"

extern "C" {
#include <libavutil/error.h>
}

std::mutex& CodecLock() {
    static std::mutex lock;
    return lock;
}

std::string VFormat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string out = VFormat(fmt, args);
    va_end(args);
    return out;
}

std::string LibraryErrorMessage(int code) {
    switch (code) {
        case AVERROR_PATCHWELCOME: return "Not yet implemented in FFmpeg";
        case AVERROR(EPROTONOSUPPORT):
        case AVERROR_PROTOCOL_NOT_FOUND: return "Unsupported network protocol";
        case AVERROR(EILSEQ): return "Unknown format";
        case AVERROR(EDOM): return "Number syntax expected in filename";
        case AVERROR(EPIPE):
        case AVERROR_EOF: return "End of file";
        case AVERROR(EINVAL):
        case AVERROR_INVALIDDATA: return "Invalid data found when processing input";
        case AVERROR(ENOMEM): return "Not enough memory";
        case AVERROR(EIO): return "I/O error";
        case AVERROR(ENOENT): return "No such file or directory";
        default: return Format("Error number %d occurred", code);
    }
}

std::string LibraryErrorText(const std::string& name, int code) { return name + ": " + LibraryErrorMessage(code); }

std::string MediaTimeText(int64_t us) {
    if (us == kNoTimestamp) return "N/A";
    const bool negative = us < 0;
    const uint64_t v = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
    const uint64_t ms = v / 1000;
    return Format("%s%.2llu:%.2llu:%.2llu.%.3llu", negative ? "-" : "", static_cast<unsigned long long>(ms / 3600000),
                  static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
                  static_cast<unsigned long long>(ms % 1000));
}
