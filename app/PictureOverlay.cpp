#include "app/PictureOverlay.h"

#include <QColor>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QString>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string OpenErrorText(const std::string& path, int err) {
    if (err == ENOENT || err == ENOTDIR)
        return "Cannot open the watermark image " + Quoted(path) +
               ": the file does not exist. Choose an existing picture in the watermark settings.";
    return "Cannot open the watermark image " + Quoted(path) + ": " + std::strerror(err) +
           ". Check the file's permissions or choose another picture in the watermark settings.";
}

bool FontsAvailable() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

QColor ColorOf(uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

// Reverses the order of a frame's rows for its lifetime; an empty view is left alone.
class TRowFlip {
public:
    explicit TRowFlip(const TBitmapView& frame) : frame_(frame) { Flip(); }
    ~TRowFlip() { Flip(); }
    TRowFlip(const TRowFlip&) = delete;
    TRowFlip& operator=(const TRowFlip&) = delete;

private:
    void Flip() {
        if (frame_.Empty()) return;
        const size_t bytes = static_cast<size_t>(frame_.width) * 3;
        std::vector<uint8_t> row(bytes);
        for (int top = 0, bottom = frame_.height - 1; top < bottom; ++top, --bottom) {
            std::memcpy(row.data(), frame_.Row(top), bytes);
            std::memcpy(frame_.Row(top), frame_.Row(bottom), bytes);
            std::memcpy(frame_.Row(bottom), row.data(), bytes);
        }
    }
    TBitmapView frame_;
};

}  // namespace

int WaterFontPixelSize(int32_t points) {
    const int64_t pt = points <= 0 ? 8 : std::min<int64_t>(points, 1000);
    return static_cast<int>((pt * 96 + 36) / 72);  // rounds halves up, as the screen's font mapping does
}

bool DrawOverlayText(const TBitmapView& frame, const std::string& text, const TWaterFont& font, int32_t x,
                     int32_t y, std::string* error) {
    if (text.empty() || frame.Empty()) return true;
    const int64_t rowBytes = static_cast<int64_t>(frame.width) * 3;
    if (std::abs(static_cast<int64_t>(frame.stride)) < rowBytes) {
        SetError(error, "Cannot draw the watermark text: the frame's rows are shorter than its width.");
        return false;
    }
    if (!FontsAvailable()) {
        SetError(error,
                 "Cannot draw the watermark text: fonts are not available because the program "
                 "created no GUI application object.");
        return false;
    }

    // Wrap the frame's own pixels; Qt draws straight into them. A bottom-up frame is wrapped from its
    // last row, with its rows swapped around the drawing, so the glyphs come out exactly as on a
    // top-down frame (drawing through a flipped transform would rasterise them differently).
    const bool bottomUp = frame.stride < 0;
    uint8_t* base = bottomUp ? frame.Row(frame.height - 1) : frame.bits;
    QImage surface(base, frame.width, frame.height, std::abs(frame.stride), QImage::Format_BGR888);
    const TRowFlip flip(bottomUp ? frame : TBitmapView{});

    QFont qfont(QString::fromStdString(font.Name));
    qfont.setPixelSize(WaterFontPixelSize(font.Size));
    qfont.setBold(font.Bold);
    qfont.setItalic(font.Italic);
    qfont.setUnderline(font.Underline);
    qfont.setStrikeOut(font.StrikeOut);

    QPainter painter;
    if (!painter.begin(&surface)) {
        SetError(error, "Cannot draw the watermark text: the frame cannot be painted on.");
        return false;
    }
    painter.setFont(qfont);
    painter.setPen(ColorOf(font.Color));
    painter.setBackgroundMode(Qt::TransparentMode);
    const qreal ascent = QFontMetricsF(qfont, &surface).ascent();
    painter.drawText(QPointF(x, static_cast<qreal>(y) + ascent), QString::fromStdString(text));
    painter.end();
    return true;
}

std::shared_ptr<const QImage> LoadOverlayImage(const std::string& path, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetError(error, OpenErrorText(path, errno));
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        SetError(error, "Cannot open the watermark image " + Quoted(path) +
                            ": it is a folder. Choose a picture file in the watermark settings.");
        return nullptr;
    }
    QImageReader reader(QString::fromStdString(path));
    QImage loaded = reader.read();
    if (loaded.isNull()) {
        SetError(error, "Cannot read the watermark image " + Quoted(path) + ": " +
                            reader.errorString().toStdString() +
                            ". Choose a BMP, PNG or JPEG picture in the watermark settings.");
        return nullptr;
    }
    if (loaded.format() != QImage::Format_BGR888) loaded = loaded.convertToFormat(QImage::Format_BGR888);
    if (loaded.isNull()) {
        SetError(error, "Cannot convert the watermark image " + Quoted(path) +
                            " to 24-bit colour: out of memory. Choose a smaller picture.");
        return nullptr;
    }
    return std::make_shared<const QImage>(std::move(loaded));
}

std::shared_ptr<const QImage> TOverlayImageCache::Get(const std::string& path, std::string* error) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const int statErr = exists ? 0 : errno;

    std::lock_guard<std::mutex> lock(mutex_);
    if (!exists) {
        // Nothing to keep: the next Get looks again, so a file that appears later is picked up.
        valid_ = false;
        image_.reset();
        SetError(error, OpenErrorText(path, statErr));
        return nullptr;
    }
    const TFileStamp stamp{static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                           static_cast<int64_t>(st.st_size)};
    if (!valid_ || path_ != path || !(stamp_ == stamp)) {
        error_.clear();
        image_ = LoadOverlayImage(path, &error_);
        path_ = path;
        stamp_ = stamp;
        valid_ = true;
    }
    if (!image_) SetError(error, error_);
    return image_;
}
