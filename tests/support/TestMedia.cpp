#include "support/TestMedia.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>

namespace fs = std::filesystem;

namespace testmedia {
namespace {

const char* const kVideo = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2";
const char* const kAudio = "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -ac 2";

// name -> ffmpeg arguments between the tool and the output path.
const std::map<std::string, std::string>& Recipes() {
    static const std::map<std::string, std::string> r = {
        {"av.mp4", std::string(kVideo) + " " + kAudio + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac"},
        {"av.mkv", std::string(kVideo) + " " + kAudio + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a libvorbis"},
        {"av.avi", std::string(kVideo) + " " + kAudio + " -c:v mpeg4 -c:a libmp3lame"},
        {"av.mov", std::string(kVideo) + " " + kAudio + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac"},
        {"av.ts", std::string(kVideo) + " " + kAudio + " -c:v mpeg2video -c:a mp2"},
        {"av.flv", std::string(kVideo) + " " + kAudio + " -c:v flv1 -c:a libmp3lame -ar 44100"},
        {"av.ogg", std::string(kVideo) + " " + kAudio + " -c:v libtheora -c:a libvorbis"},
        {"av.webm", std::string(kVideo) + " " + kAudio + " -c:v libvpx -deadline realtime -cpu-used 8 -c:a libopus"},
        {"audio.wav", std::string(kAudio) + " -c:a pcm_s16le"},
        {"short.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -f lavfi -i "
                      "sine=frequency=440:sample_rate=44100:duration=1 -ac 2 -c:v libx264 -preset ultrafast "
                      "-pix_fmt yuv420p -c:a aac"},
        {"short.wav", "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -ac 2 -c:a pcm_s16le"},
        {"audio.mp3", std::string(kAudio) + " -c:a libmp3lame"},
        {"odd.mkv", "-f lavfi -i testsrc2=size=175x97:rate=25:duration=1 -c:v ffv1"},
        {"oddsize.mkv", "-f lavfi -i testsrc=size=175x97:rate=25:duration=1 -c:v ffv1 -pix_fmt yuv444p"},
        {"meta.mkv", std::string(kVideo) + " " + kAudio +
                         " -c:v mpeg4 -c:a libvorbis -metadata title=TestTitle -metadata artist=TestArtist"
                         " -metadata album=TestAlbum -metadata comment=TestComment -metadata:s:a:0 language=eng"},
        {"ntsc.ts", "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=1 -f lavfi -i "
                    "sine=frequency=440:sample_rate=44100:duration=1 -c:v mpeg2video -c:a mp2 -metadata:s:a:0 language=eng"},
        {"6ch.mkv", std::string(kVideo) +
                        " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 6 -c:v mpeg4 -c:a ac3"},
    };
    return r;
}

// Recursive: a derived fixture (truncated.mp4) makes its source fixture first.
std::recursive_mutex& FixtureMutex() {
    static std::recursive_mutex m;
    return m;
}

bool MakeTruncated(const std::string& source, const std::string& path) {
    std::ifstream in(source, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return false;
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 3));
    return static_cast<bool>(out);
}

bool MakeRandom(const std::string& path) {
    std::mt19937 gen(12345);
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 64 * 1024; ++i) out.put(static_cast<char>(gen() & 0xFF));
    return static_cast<bool>(out);
}

}  // namespace

std::string FixtureDir() { return QUILLMAR_FIXTURE_DIR; }

std::string CliPath() { return QUILLMAR_CLI_PATH; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

int Run(const std::string& command, std::string* out, bool mergeStderr) {
    const std::string cmd = command + (mergeStderr ? " 2>&1" : "");
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out) out->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Fixture(const std::string& name) {
    std::lock_guard lock(FixtureMutex());
    const fs::path dir = FixtureDir();
    const fs::path path = dir / name;
    if (fs::exists(path)) return path.string();
    fs::create_directories(dir);
    // Made under a temporary name and renamed, so parallel test programs never see half a file.
    const fs::path tmp = dir / (".tmp-" + std::to_string(getpid()) + "-" + name);
    bool ok = false;
    if (name == "truncated.mp4" || name == "truncated.ts") {
        const std::string src = Fixture(name == "truncated.mp4" ? "av.mp4" : "av.ts");
        ok = !src.empty() && MakeTruncated(src, tmp.string());
    } else if (name == "random.bin") {
        ok = MakeRandom(tmp.string());
    } else {
        auto it = Recipes().find(name);
        if (it == Recipes().end()) {
            ADD_FAILURE() << "no fixture recipe named " << name;
            return "";
        }
        const std::string ext = path.extension().string();
        std::string format = ext == ".mkv" ? "matroska" : ext.substr(1);
        if (format == "ts") format = "mpegts";
        if (format == "ogg") format = "ogg";
        std::string log;
        const int rc = Run("ffmpeg -nostdin -loglevel error -y " + it->second + " -f " + format + " " +
                               Quote(tmp.string()),
                           &log, true);
        ok = rc == 0;
        if (!ok) ADD_FAILURE() << "ffmpeg could not make " << name << ": " << log;
    }
    if (!ok) {
        fs::remove(tmp);
        return "";
    }
    fs::rename(tmp, path);
    return path.string();
}

std::string TempDir() {
    static const fs::path root = [] {
        fs::path p = fs::temp_directory_path() / ("quillmar-test-" + std::to_string(getpid()));
        fs::create_directories(p);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(fs::temp_directory_path() / ("quillmar-test-" + std::to_string(getpid())), ec);
        });
        return p;
    }();
    static int counter = 0;
    static std::mutex m;
    std::lock_guard lock(m);
    fs::path d = root / std::to_string(++counter);
    fs::create_directories(d);
    return d.string();
}

}  // namespace testmedia
