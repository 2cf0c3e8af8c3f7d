#pragma once
// The option store of a task: values for the libraries' own option tables (AVOption) given by name
// before the files and streams they apply to exist. Values are kept in option contexts, one per
// codec media type plus a container and a scaler context, and copied into the real decoder, encoder
// and container contexts with Apply.
//
// Threads: one task's store is used by one thread at a time (configured before the run, read by the
// run's set-up on the worker); no lock.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/AVPtr.h"

// The media types of the store's codec contexts, in the order the store tries them.
inline constexpr AVMediaType kStoreMediaTypes[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_DATA,
                                                   AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT};

class TOptionStore {
public:
    // The scaler context is made with `swsFlags`. Throws FFmpegException when a context cannot be made.
    explicit TOptionStore(int swsFlags);
    TOptionStore(const TOptionStore&) = delete;
    TOptionStore& operator=(const TOptionStore&) = delete;

    // Sets a library option by name in every context that has it (see the .cpp for the search order).
    // Legacy names are translated first. Returns false, changing nothing, when no context knows the
    // name; false after logging the library's "Invalid value" line when the value is refused.
    bool Set(const std::string& name, const std::string& value);

    // Copies every option set so far, in the order set, from one of the store's contexts into
    // `target` (a codec or container context), when the option's flags contain all bits of `flags`
    // (AV_OPT_FLAG_ENCODING_PARAM 1, DECODING 2, AUDIO 8, VIDEO 16, SUBTITLE 32). Options private to
    // an encoder or decoder reach the target's own option table. A value the target refuses is
    // logged and skipped.
    void Apply(AVCodecContext* target, AVMediaType source, int flags) const;
    void Apply(AVFormatContext* target, int flags) const;
    // The muxers' and demuxers' own options set so far, for avformat_open_input (an input context
    // has no private object to set them in before it is opened). Null when there are none.
    av::DictionaryPtr FormatPrivateOptions() const;

    // The option contexts (owned by the store).
    AVCodecContext* CodecContext(AVMediaType type) const;
    AVFormatContext* FormatContext() const { return format_.get(); }
    SwsContext* ScalerContext() const { return scaler_.get(); }

    // Names of the options set successfully, in the order set (a name set twice appears twice).
    const std::vector<std::string>& Names() const { return names_; }

    // Current value of an option of a codec context as the store would apply it; empty when unset
    // and unknown. Private options answer their stored text.
    std::string Get(AVMediaType type, const std::string& name) const;
    // Integer value of a generic codec option of a type's context (0 when unknown).
    int64_t GetInt(AVMediaType type, const std::string& name) const;
    // The scaler flags currently stored ("sws_flags").
    int ScalerFlags() const;

private:
    // A value for an option of some encoder's or decoder's own table (libx264's "preset" ...),
    // which a codec-less context cannot hold: kept as text per media type, checked on Set.
    struct TPrivateValue {
        int typeIndex;
        std::string name;
        std::string value;
    };

    enum class TSetResult { NotFound, Set, Refused };
    TSetResult SetOne(const std::string& name, const std::string& value);
    TSetResult SetPrivate(const std::string& name, const std::string& value);
    const TPrivateValue* FindPrivate(int typeIndex, const std::string& name) const;
    void ForgetPrivate(const std::string& name);
    void ApplyNamed(void* target, void* targetPrivate, const void* source, int typeIndex, const std::string& name,
                    int flags) const;

    av::CodecContextPtr codecs_[5];
    av::FormatContextPtr format_;  // never opened
    av::SwsPtr scaler_;
    std::vector<std::string> names_;
    std::vector<TPrivateValue> privateValues_;  // latest value per (type, name)
};
