#include "engine/OptionStore.h"

#include <algorithm>
#include <cctype>

#include "engine/FFmpegLogger.h"
#include "engine/LegacyNames.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {
// Option flag masks tried per codec media type, in kStoreMediaTypes order. Data and attachment
// contexts take every option that one of the other types takes.
constexpr int kTypeMasks[] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};
constexpr int kVideo = 0, kAudio = 1, kSubtitle = 3;
// Private values of the container's own muxers and demuxers use this type index.
constexpr int kFormatIndex = 5;

int TypeIndex(AVMediaType type) {
    for (int i = 0; i < 5; ++i)
        if (kStoreMediaTypes[i] == type) return i;
    return -1;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Whether an object of class `cls` (an encoder's, decoder's, muxer's or demuxer's own options) has
// the option with all bits of `mask`.
const AVOption* FindInClass(const AVClass* cls, const std::string& name, int mask) {
    return av_opt_find2(&cls, name.c_str(), nullptr, mask, AV_OPT_SEARCH_FAKE_OBJ, nullptr);
}

// Tries the value on a fresh context of every codec whose own option table has the option; true
// when one of them accepts it. `found` tells whether any codec has the option at all.
bool CodecPrivateAccepts(const std::string& name, const std::string& value, int mask, bool* found) {
    *found = false;
    void* it = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&it)) {
        if (!codec->priv_class || !FindInClass(codec->priv_class, name, mask)) continue;
        *found = true;
        av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
        if (ctx && ctx->priv_data && av_opt_set(ctx->priv_data, name.c_str(), value.c_str(), 0) >= 0) return true;
    }
    return false;
}

// The same for the options of muxers and demuxers, tried on a zeroed private object with defaults.
bool FormatPrivateAccepts(const std::string& name, const std::string& value, bool* found) {
    *found = false;
    auto tryClass = [&](const AVClass* cls, int size) {
        if (!cls || size <= 0 || !FindInClass(cls, name, 0)) return false;
        *found = true;
        av::BufferPtr<void> obj(av_mallocz(static_cast<size_t>(size)));
        if (!obj) return false;
        *static_cast<const AVClass**>(obj.get()) = cls;
        av_opt_set_defaults(obj.get());
        const bool ok = av_opt_set(obj.get(), name.c_str(), value.c_str(), 0) >= 0;
        av_opt_free(obj.get());
        return ok;
    };
    void* it = nullptr;
    while (const AVOutputFormat* f = av_muxer_iterate(&it))
        if (tryClass(f->priv_class, f->priv_data_size)) return true;
    it = nullptr;
    while (const AVInputFormat* f = av_demuxer_iterate(&it))
        if (tryClass(f->priv_class, f->priv_data_size)) return true;
    return false;
}

void LogInvalidValue(const std::string& name, const std::string& value) {
    av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(), name.c_str());
}
}  // namespace

TOptionStore::TOptionStore(int swsFlags) {
    for (int i = 0; i < 5; ++i) {
        codecs_[i].reset(avcodec_alloc_context3(nullptr));
        if (!codecs_[i]) throw FFmpegException("avcodec_alloc_context failed");
        codecs_[i]->codec_type = kStoreMediaTypes[i];
    }
    format_.reset(avformat_alloc_context());
    if (!format_) throw FFmpegException("avformat_alloc_context failed");
    scaler_.reset(sws_getContext(16, 16, static_cast<AVPixelFormat>(0), 16, 16, static_cast<AVPixelFormat>(0), swsFlags,
                                 nullptr, nullptr, nullptr));
    if (!scaler_) throw FFmpegException("sws_getContext failed");
}

AVCodecContext* TOptionStore::CodecContext(AVMediaType type) const {
    const int i = TypeIndex(type);
    return i < 0 ? nullptr : codecs_[i].get();
}

void TOptionStore::ForgetPrivate(const std::string& name) {
    std::erase_if(privateValues_, [&](const TPrivateValue& p) { return p.name == name; });
}

const TOptionStore::TPrivateValue* TOptionStore::FindPrivate(int typeIndex, const std::string& name) const {
    for (const TPrivateValue& p : privateValues_)
        if (p.typeIndex == typeIndex && p.name == name) return &p;
    return nullptr;
}

bool TOptionStore::Set(const std::string& rawName, const std::string& rawValue) {
    const std::string name = Trim(rawName), value = Trim(rawValue);
    if (name.empty() || value.empty()) return false;
    bool all = true;
    for (const auto& [todayName, todayValue] : TodayOptions(name, value)) {
        const TSetResult r = SetOne(todayName, todayValue);
        if (r == TSetResult::Refused) LogInvalidValue(todayName, todayValue);
        if (r != TSetResult::Set) all = false;
    }
    if (!all) return false;
    int64_t codecDebug = 0, formatDebug = 0;
    av_opt_get_int(codecs_[kVideo].get(), "debug", 0, &codecDebug);
    av_opt_get_int(format_.get(), "fdebug", 0, &formatDebug);  // the container's "debug" option
    if (codecDebug != 0 || formatDebug != 0) TFFLogger::Instance().SetLogLevel(llDebug);
    return true;
}

// Search order: the codec contexts' common table (every media type whose mask the option has),
// the encoders' and decoders' own tables, the container (common, then muxers' and demuxers' own),
// the scaler, and finally a name with a media prefix ("ab", "vb", "sfoo") without it on that type.
TOptionStore::TSetResult TOptionStore::SetOne(const std::string& name, const std::string& value) {
    const char* n = name.c_str();
    const char* v = value.c_str();
    const AVOption* found = nullptr;
    for (int i = 0; i < 5; ++i) {
        const AVOption* o = av_opt_find(codecs_[kVideo].get(), n, nullptr, kTypeMasks[i], 0);
        if (!o) continue;
        found = o;
        if (av_opt_set(codecs_[i].get(), n, v, 0) < 0) {
            // The encoders' own option of the same name may take it ("profile" "high").
            return SetPrivate(name, value) == TSetResult::Set ? TSetResult::Set : TSetResult::Refused;
        }
    }
    if (found) {
        ForgetPrivate(found->name);
        names_.push_back(found->name);
        return TSetResult::Set;
    }
    if (const TSetResult r = SetPrivate(name, value); r != TSetResult::NotFound) return r;

    if (const AVOption* o = av_opt_find(format_.get(), n, nullptr, 0, 0)) {
        if (av_opt_set(format_.get(), n, v, 0) < 0) return TSetResult::Refused;
        names_.push_back(o->name);
        return TSetResult::Set;
    }
    bool formatPrivate = false;
    if (FormatPrivateAccepts(name, value, &formatPrivate)) {
        std::erase_if(privateValues_, [&](const TPrivateValue& p) { return p.typeIndex == kFormatIndex && p.name == name; });
        privateValues_.push_back({kFormatIndex, name, value});
        names_.push_back(name);
        return TSetResult::Set;
    }
    if (formatPrivate) return TSetResult::Refused;

    if (const AVOption* o = av_opt_find(scaler_.get(), n, nullptr, 0, 0)) {
        if (av_opt_set(scaler_.get(), n, v, 0) < 0) return TSetResult::Refused;
        names_.push_back(o->name);
        return TSetResult::Set;
    }

    int prefixed = -1;
    if (name.size() > 1) prefixed = name[0] == 'a' ? kAudio : name[0] == 'v' ? kVideo : name[0] == 's' ? kSubtitle : -1;
    if (prefixed < 0) return TSetResult::NotFound;
    const std::string rest = name.substr(1);
    AVCodecContext* ctx = codecs_[prefixed].get();
    if (const AVOption* o = av_opt_find(ctx, rest.c_str(), nullptr, 0, 0)) {
        if (av_opt_set(ctx, rest.c_str(), v, 0) < 0) return TSetResult::Refused;
        names_.push_back(o->name);
        return TSetResult::Set;
    }
    bool privateFound = false;
    if (CodecPrivateAccepts(rest, value, kTypeMasks[prefixed], &privateFound)) {
        std::erase_if(privateValues_, [&](const TPrivateValue& p) { return p.typeIndex == prefixed && p.name == rest; });
        privateValues_.push_back({prefixed, rest, value});
        names_.push_back(rest);
        return TSetResult::Set;
    }
    return privateFound ? TSetResult::Refused : TSetResult::NotFound;
}

// An encoder's or decoder's own option (libx264's "preset", "me_method" ...): kept as text for each
// media type whose mask it has, once some codec that has it accepts the value.
TOptionStore::TSetResult TOptionStore::SetPrivate(const std::string& name, const std::string& value) {
    bool foundAny = false;
    std::vector<int> types;
    for (int i = 0; i < 5; ++i) {
        bool found = false;
        const bool accepted = CodecPrivateAccepts(name, value, kTypeMasks[i], &found);
        if (!found) continue;
        foundAny = true;
        if (!accepted) return TSetResult::Refused;
        types.push_back(i);
    }
    if (!foundAny) return TSetResult::NotFound;
    for (int i : types) {
        std::erase_if(privateValues_, [&](const TPrivateValue& p) { return p.typeIndex == i && p.name == name; });
        privateValues_.push_back({i, name, value});
    }
    names_.push_back(name);
    return TSetResult::Set;
}

// A private value goes to the target's own option object (priv_data) only: the target's common
// table may have an option of the same name that would refuse it ("profile").
void TOptionStore::ApplyNamed(void* target, void* targetPrivate, const void* source, int typeIndex, const std::string& name,
                              int flags) const {
    const char* n = name.c_str();
    if (const TPrivateValue* p = FindPrivate(typeIndex, name)) {
        const AVOption* to = targetPrivate ? av_opt_find(targetPrivate, n, nullptr, 0, 0) : nullptr;
        if (!to || (to->flags & flags) != flags) return;
        if (av_opt_set(targetPrivate, n, p->value.c_str(), 0) < 0) LogInvalidValue(name, p->value);
        return;
    }
    const AVOption* o = av_opt_find(const_cast<void*>(source), n, nullptr, 0, 0);
    if (!o || (o->flags & flags) != flags) return;
    uint8_t* text = nullptr;
    if (av_opt_get(const_cast<void*>(source), n, 0, &text) < 0 || !text) return;
    av::BufferPtr<uint8_t> owned(text);
    if (av_opt_set(target, n, reinterpret_cast<const char*>(text), 0) < 0 && av_opt_find(target, n, nullptr, 0, 0))
        LogInvalidValue(name, reinterpret_cast<const char*>(text));
}

void TOptionStore::Apply(AVCodecContext* target, AVMediaType source, int flags) const {
    const int i = TypeIndex(source);
    if (!target || i < 0) return;
    for (const std::string& name : names_) ApplyNamed(target, target->priv_data, codecs_[i].get(), i, name, flags);
}

void TOptionStore::Apply(AVFormatContext* target, int flags) const {
    if (!target) return;
    for (const std::string& name : names_) ApplyNamed(target, target->priv_data, format_.get(), kFormatIndex, name, flags);
}

av::DictionaryPtr TOptionStore::FormatPrivateOptions() const {
    AVDictionary* dict = nullptr;
    for (const TPrivateValue& p : privateValues_)
        if (p.typeIndex == kFormatIndex) av_dict_set(&dict, p.name.c_str(), p.value.c_str(), 0);
    return av::DictionaryPtr(dict);
}

std::string TOptionStore::Get(AVMediaType type, const std::string& name) const {
    const int i = TypeIndex(type);
    if (i < 0) return {};
    if (const TPrivateValue* p = FindPrivate(i, name)) return p->value;
    uint8_t* text = nullptr;
    if (av_opt_get(codecs_[i].get(), name.c_str(), 0, &text) < 0 || !text) return {};
    av::BufferPtr<uint8_t> owned(text);
    return reinterpret_cast<const char*>(text);
}

int64_t TOptionStore::GetInt(AVMediaType type, const std::string& name) const {
    const int i = TypeIndex(type);
    int64_t v = 0;
    if (i >= 0 && av_opt_get_int(codecs_[i].get(), name.c_str(), 0, &v) < 0) v = 0;
    return v;
}

int TOptionStore::ScalerFlags() const {
    int64_t v = 0;
    av_opt_get_int(scaler_.get(), "sws_flags", 0, &v);
    return static_cast<int>(v);
}
