#include "engine/UnicodeProtocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

extern "C" {
#include <libavutil/mem.h>
}

namespace {

// Names of these protocols are URLs and are handed over as they are.
constexpr std::string_view kUrlPrefixes = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
constexpr std::string_view kProtocolName = "unicode:";
constexpr int kIoBufferSize = 64 * 1024;

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        int extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

// The text after "unicode:" and the next ":" (the protocol's sub-form, "utf8" in practice).
std::string PathOfUnicodeUrl(const std::string& url) {
    const std::string rest = url.substr(kProtocolName.size());
    const size_t colon = rest.find(':');
    return colon == std::string::npos ? rest : rest.substr(colon + 1);
}

// One open file behind one of our I/O contexts.
struct UnicodeFile {
    int fd = -1;
    ~UnicodeFile() {
        if (fd >= 0) ::close(fd);
    }
};

int ReadPacket(void* opaque, uint8_t* buf, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    for (;;) {
        const ssize_t n = ::read(file->fd, buf, static_cast<size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

int WritePacket(void* opaque, uint8_t* buf, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(file->fd, buf + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
    }
    return size;
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        if (::fstat(file->fd, &st) != 0) return AVERROR(errno);
        return st.st_size;
    }
    const off_t pos = ::lseek(file->fd, offset, whence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(errno) : pos;
}

// Opens the file of a "unicode:" name behind a new I/O context. A file that cannot be opened is
// AVERROR(ENOENT), whatever the reason, as the libraries' file protocol reports it to users.
int OpenUnicodeContext(AVIOContext** pb, const std::string& url, int avioFlags) {
    *pb = nullptr;
    const std::string path = PathOfUnicodeUrl(url);
    int oflags = O_CLOEXEC;
    if ((avioFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
        oflags |= O_RDWR | O_CREAT | O_TRUNC;
    else if (avioFlags & AVIO_FLAG_WRITE)
        oflags |= O_WRONLY | O_CREAT | O_TRUNC;
    else
        oflags |= O_RDONLY;
    auto file = std::make_unique<UnicodeFile>();
    file->fd = ::open(path.c_str(), oflags, 0666);
    if (file->fd < 0) return AVERROR(ENOENT);
    if (!(avioFlags & AVIO_FLAG_WRITE)) {
        // A folder opens for reading but reads nothing useful: refuse it like a missing file.
        struct stat st {};
        if (::fstat(file->fd, &st) != 0 || S_ISDIR(st.st_mode)) return AVERROR(ENOENT);
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!buffer) return AVERROR(ENOMEM);
    const bool writable = (avioFlags & AVIO_FLAG_WRITE) != 0;
    AVIOContext* ctx = avio_alloc_context(buffer, kIoBufferSize, writable ? 1 : 0, file.get(),
                                          writable ? nullptr : &ReadPacket, writable ? &WritePacket : nullptr, &Seek);
    if (!ctx) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    file.release();  // owned by ctx->opaque from here; FreeUnicodeContext gives it back
    *pb = ctx;
    return 0;
}

bool IsOurContext(const AVIOContext* pb) {
    return pb && (pb->read_packet == &ReadPacket || pb->write_packet == &WritePacket);
}

// Frees one of our contexts: its buffer (the library may have replaced it), the file, the context.
void FreeUnicodeContext(AVIOContext** pb) {
    if (!*pb) return;
    std::unique_ptr<UnicodeFile> file(static_cast<UnicodeFile*>((*pb)->opaque));
    av_freep(&(*pb)->buffer);
    avio_context_free(pb);
}

}  // namespace

std::string LibraryFileName(const std::string& name) {
    const size_t colon = name.find(':');
    if (colon != std::string::npos) {
        const std::string framed = ":" + name.substr(0, colon) + ":";
        if (kUrlPrefixes.find(framed) != std::string_view::npos) return name;
    }
    // The narrow form is the name itself when it is UTF-8, unless the libraries would read it as
    // a URL of a protocol they do not have ("clip:1.mp4", "C:\x.avi" are files here) and fail.
    bool misread = false;
    if (colon != std::string::npos) {
        misread = avio_find_protocol_name(name.c_str()) == nullptr;
    }
    if (IsValidUtf8(name) && !misread) return name;
    return std::string(kUnicodeUrlPrefix) + name;
}

std::string WideFileName(const std::string& libraryName) {
    const std::string_view prefix = kUnicodeUrlPrefix;
    if (libraryName.size() > prefix.size() && StartsWith(libraryName, prefix)) return PathOfUnicodeUrl(libraryName);
    return libraryName;
}

bool IsUnicodeUrl(const std::string& libraryName) { return StartsWith(libraryName, kProtocolName); }

void RegisterUnicodeProtocol() {}

int OpenInputFile(AVFormatContext** ctx, const std::string& libraryName, const AVInputFormat* fmt,
                  AVDictionary** options) {
    if (!IsUnicodeUrl(libraryName)) return avformat_open_input(ctx, libraryName.c_str(), fmt, options);

    AVFormatContext* given = *ctx;
    *ctx = nullptr;
    AVIOContext* pb = nullptr;
    int ret = OpenUnicodeContext(&pb, libraryName, AVIO_FLAG_READ);
    if (ret < 0) {
        avformat_free_context(given);  // avformat_open_input frees a given context on failure too
        return ret;
    }
    AVFormatContext* fc = given ? given : avformat_alloc_context();
    if (!fc) {
        FreeUnicodeContext(&pb);
        return AVERROR(ENOMEM);
    }
    fc->pb = pb;
    fc->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The demuxer sees the file as a local file (buffering, files it opens beside this one);
    // the context then carries the name it was opened by.
    const std::string localUrl = "file:" + PathOfUnicodeUrl(libraryName);
    ret = avformat_open_input(&fc, localUrl.c_str(), fmt, options);
    if (ret < 0) {
        // The library freed fc but leaves a caller's I/O context alone.
        FreeUnicodeContext(&pb);
        return ret;
    }
    char* url = av_strdup(libraryName.c_str());
    if (!url) {
        CloseInputFile(&fc);
        return AVERROR(ENOMEM);
    }
    av_free(fc->url);
    fc->url = url;
    *ctx = fc;
    return 0;
}

void CloseInputFile(AVFormatContext** ctx) {
    if (!ctx || !*ctx) return;
    AVIOContext* pb = ((*ctx)->flags & AVFMT_FLAG_CUSTOM_IO) && IsOurContext((*ctx)->pb) ? (*ctx)->pb : nullptr;
    avformat_close_input(ctx);
    FreeUnicodeContext(&pb);
}

int OpenOutputFile(AVIOContext** pb, const std::string& libraryName, AVDictionary** options) {
    if (!IsUnicodeUrl(libraryName)) return avio_open2(pb, libraryName.c_str(), AVIO_FLAG_WRITE, nullptr, options);
    return OpenUnicodeContext(pb, libraryName, AVIO_FLAG_WRITE);
}

int CloseOutputFile(AVIOContext** pb) {
    if (!pb || !*pb) return 0;
    if (!IsOurContext(*pb)) return avio_closep(pb);
    avio_flush(*pb);
    const int error = (*pb)->error;
    FreeUnicodeContext(pb);
    return error < 0 ? error : 0;
}
