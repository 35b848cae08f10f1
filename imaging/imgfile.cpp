// Picture files through Qt's image readers (declared in imgfile.h).
//
// Grey or colour is decided from the header alone, before anything is decoded, and the
// same way by all three functions, so GetImageFileInfo always tells the kind
// CreateImageFile makes:
//   - grey: the reader reports one of QImage's grey or two-level formats (Grayscale8,
//     Grayscale16, Mono, MonoLSB). A two-level picture is grey whatever its two
//     colours; its levels are the grey values of those colours.
//   - colour: everything else: palette (Indexed8) pictures, grey pictures with an
//     alpha channel, and pictures whose reader reports no format before decoding
//     (WebP, for one). Qt's readers give no palette before decoding, so a palette of
//     greys cannot be told from a palette of colours and counts as colour.
// A grey level is the top 8 bits of a 16-bit sample; a colour's grey value is
// (299·R + 587·G + 114·B) / 1000, truncated. Alpha is ignored: the colour stored is
// the colour read. Orientation tags are not applied, so the picture keeps the size
// its header gives.

#include "imgfile.h"

#include <QImage>
#include <QImageReader>
#include <QIODevice>
#include <QList>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/**
 * A regular file opened for reading through Qt's device interface. It is unbuffered, so
 * each read a decoder makes arrives here as it was asked for: after Watch(), a read
 * that asks for bytes past the end of the file is noted. Reads are served from a
 * window of the file.
 */
class PictureDevice final : public QIODevice
{
public:
    PictureDevice() = default;
    PictureDevice(const PictureDevice&) = delete;
    PictureDevice& operator=(const PictureDevice&) = delete;

    ~PictureDevice() override
    {
        close();
        if (fd_ >= 0) ::close(fd_);
    }

    /**
     * Opens `name` when it is a regular file. Anything else is refused before it is
     * opened: opening a FIFO for reading waits for a writer, and a device may do
     * anything on open.
     */
    bool OpenRegular(const char* name)
    {
        if (!name || !*name) return false;
        struct stat st
        {
        };
        if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        // O_NONBLOCK keeps open() from waiting should the name become a FIFO meanwhile.
        fd_ = ::open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return false;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        size_ = st.st_size;
        return open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return size_; }

    /** Starts noting reads past the end of the file. */
    void Watch()
    {
        watching_ = true;
        readPastEnd_ = readAtEnd_ = false;
    }
    /** Whether a read since Watch() asked for bytes past the end of the file. */
    bool ReadPastEnd() const { return readPastEnd_; }
    /** Whether a read since Watch() started at the end of the file. */
    bool ReadAtEnd() const { return readAtEnd_; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 at = pos();
        if (watching_ && maxSize > 0) {
            readPastEnd_ = readPastEnd_ || maxSize > size_ - at;
            readAtEnd_ = readAtEnd_ || at >= size_;
        }
        qint64 done = 0;
        while (done < maxSize) {
            const qint64 where = at + done;
            const qint64 wanted = maxSize - done;
            if (where >= windowStart_ && where < windowStart_ + windowLength_) {
                const qint64 n = std::min(wanted, windowStart_ + windowLength_ - where);
                std::memcpy(data + done, window_.data() + (where - windowStart_), size_t(n));
                done += n;
                continue;
            }
            // Large reads go straight to the caller; small ones refill the window.
            const bool direct = wanted >= qint64(WindowBytes);
            char* target = direct ? data + done : window_.data();
            const ssize_t got =
                ::pread(fd_, target, direct ? size_t(wanted) : WindowBytes, off_t(where));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return done > 0 ? done : -1;
            if (got == 0) break;
            if (direct) {
                done += got;
            } else {
                windowStart_ = where;
                windowLength_ = got;
            }
        }
        return done;
    }

    qint64 writeData(const char*, qint64) override { return -1; }

private:
    static constexpr size_t WindowBytes = 64 * 1024;

    int fd_ = -1;
    qint64 size_ = 0;
    std::vector<char> window_ = std::vector<char>(WindowBytes);
    qint64 windowStart_ = 0, windowLength_ = 0;
    bool watching_ = false, readPastEnd_ = false, readAtEnd_ = false;
};

bool IsGreyFormat(QImage::Format format)
{
    return format == QImage::Format_Grayscale8 || format == QImage::Format_Grayscale16 ||
           format == QImage::Format_Mono || format == QImage::Format_MonoLSB;
}

/** The bytes a pixel takes in Qt's image of `format`; the widest integer one when unknown. */
int64_t BytesPerPixel(QImage::Format format)
{
    const int bits =
        format == QImage::Format_Invalid ? 0 : int(QImage::toPixelFormat(format).bitsPerPixel());
    return bits > 0 ? (bits + 7) / 8 : 8;
}

/** A picture file: its header read when opened, its pixels on Decode(). */
class PictureFile
{
public:
    /** Opens `name` and reads its header; false unless it is a picture within bounds. */
    bool Open(const char* name)
    {
        if (!device_.OpenRegular(name)) return false;
        reader_.setDecideFormatFromContent(true);
        reader_.setAutoTransform(false);
        reader_.setDevice(&device_);
        size_ = reader_.size();
        if (size_.width() <= 0 || size_.height() <= 0 ||
            int64_t(size_.width()) * size_.height() > PictureMaxPixels)
            return false;
        format_ = reader_.imageFormat();
        decoder_ = reader_.format().toLower();
        return true;
    }

    int32_t Width() const { return size_.width(); }
    int32_t Height() const { return size_.height(); }
    bool Grey() const { return IsGreyFormat(format_); }

    /**
     * The decoded picture, or a null image when it cannot be read, its size differs from
     * the header's or its data end early.
     */
    QImage Decode()
    {
        // Decoders ask Qt for their image within the allocation limit, which Qt counts at
        // 32 bits a pixel or more. The limit is what the header's size and format need,
        // so data that contradict the header cannot make a decoder allocate more. The
        // limit belongs to the whole process: reads here take turns and put it back.
        const int64_t bytes =
            int64_t(size_.width()) * size_.height() * std::max<int64_t>(4, BytesPerPixel(format_));
        const int limitMb = int(std::max<int64_t>(1, (bytes + (1 << 20) - 1) >> 20));
        static std::mutex limitLock;
        QImage picture;
        bool read = false;
        {
            const std::lock_guard<std::mutex> lock(limitLock);
            const int previous = QImageReader::allocationLimit();
            QImageReader::setAllocationLimit(limitMb);
            device_.Watch();
            read = reader_.read(&picture);
            QImageReader::setAllocationLimit(previous);
        }
        if (!read || picture.isNull() || picture.size() != size_ || Truncated()) return {};
        return picture;
    }

private:
    /**
     * Whether the decoder ran out of data. Some of Qt's decoders return what they have
     * of a truncated file: the BMP and TGA ones leave the pixels they could not read as
     * they were allocated, the JPEG one fills them in. The BMP, TGA, PNG and PNM
     * decoders ask for exactly the bytes they need, so asking for bytes past the end
     * means the data end early. The JPEG one reads in blocks, the last of them short; it
     * asks again at the end only when the file ends before the picture does.
     */
    bool Truncated() const
    {
        if (decoder_ == "jpeg" || decoder_ == "jpg") return device_.ReadAtEnd();
        for (const char* exact : {"bmp", "tga", "png", "pbm", "pgm", "ppm"})
            if (decoder_ == exact) return device_.ReadPastEnd();
        return false;
    }

    PictureDevice device_;
    QImageReader reader_;
    QSize size_;
    QImage::Format format_ = QImage::Format_Invalid;
    QByteArray decoder_;
};

uint8_t GreyOf(QRgb colour)
{
    return uint8_t((299 * qRed(colour) + 587 * qGreen(colour) + 114 * qBlue(colour)) / 1000);
}

/** `picture` in one of the formats ReadRow takes. */
QImage InReadableFormat(QImage picture)
{
    switch (picture.format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
        return picture;
    case QImage::Format_RGBA64_Premultiplied:
        return picture.convertToFormat(QImage::Format_RGBA64);
    default:
        // Premultiplied colours come back to the colours themselves.
        return picture.convertToFormat(QImage::Format_ARGB32);
    }
}

/** The first `n` pixels of row `y` of `picture` (a format InReadableFormat gives) as colours. */
void ReadRow(const QImage& picture, const std::array<QRgb, 256>& palette, int y, int n, QRgb* out)
{
    const uchar* line = picture.constScanLine(y);
    switch (picture.format()) {
    case QImage::Format_Grayscale8:
        for (int x = 0; x < n; ++x)
            out[x] = qRgb(line[x], line[x], line[x]);
        break;
    case QImage::Format_Grayscale16:
        for (int x = 0; x < n; ++x) {
            const int v = reinterpret_cast<const quint16*>(line)[x] >> 8;
            out[x] = qRgb(v, v, v);
        }
        break;
    case QImage::Format_Mono:
        for (int x = 0; x < n; ++x)
            out[x] = palette[(line[x >> 3] >> (7 - (x & 7))) & 1];
        break;
    case QImage::Format_MonoLSB:
        for (int x = 0; x < n; ++x)
            out[x] = palette[(line[x >> 3] >> (x & 7)) & 1];
        break;
    case QImage::Format_Indexed8:
        for (int x = 0; x < n; ++x)
            out[x] = palette[line[x]];
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        std::memcpy(out, line, size_t(n) * sizeof(QRgb));
        break;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
        for (int x = 0; x < n; ++x) {
            const QRgba64 c = reinterpret_cast<const QRgba64*>(line)[x];
            out[x] = qRgb(c.red() >> 8, c.green() >> 8, c.blue() >> 8);
        }
        break;
    default:
        std::fill(out, out + n, qRgb(0, 0, 0));
        break;
    }
}

/**
 * Writes the `decoded` picture into the common top-left part of the 8-bit or RGB `image`:
 * grey values into an 8-bit image; colours, or for a grey picture its level three
 * times, into an RGB one. The unused byte of an RGB pixel is written 0.
 */
void Store(const QImage& decoded, bool grey, ImageStruct* image)
{
    const int32_t width = std::min(decoded.width(), image->XSize);
    const int32_t height = std::min(decoded.height(), image->YSize);
    if (width <= 0 || height <= 0) return;
    const QImage picture = InReadableFormat(decoded);
    std::array<QRgb, 256> palette;
    palette.fill(qRgb(0, 0, 0));
    const QList<QRgb> table = picture.colorTable();
    std::copy_n(table.begin(), std::min<qsizetype>(table.size(), 256), palette.begin());

    const bool rgb = ImageKind(image) == ImageKindRGB;
    std::vector<QRgb> row(size_t(width), 0);
    for (int32_t y = 0; y < height; ++y) {
        ReadRow(picture, palette, y, width, row.data());
        uint8_t* out = image->Data + std::ptrdiff_t(y) * image->LineStep;
        if (!rgb) {
            for (int32_t x = 0; x < width; ++x)
                out[x] = GreyOf(row[size_t(x)]);
            continue;
        }
        for (int32_t x = 0; x < width; ++x, out += 4) {
            QRgb c = row[size_t(x)];
            if (grey) {
                const int v = GreyOf(c);
                c = qRgb(v, v, v);
            }
            out[0] = uint8_t(qBlue(c));
            out[1] = uint8_t(qGreen(c));
            out[2] = uint8_t(qRed(c));
            out[3] = 0;
        }
    }
}

/** Records the file and, when the picture states it, the physical size of its pixels. */
void RecordSource(const char* name, const QImage& picture, ImageStruct* image)
{
    image->Info.Source = name;
    // Qt gives a picture without a resolution a default one (that of the screen, or of
    // no screen). A picture that states just that resolution reads as one without.
    const QImage blank(1, 1, QImage::Format_Mono);
    const int dpmX = picture.dotsPerMeterX(), dpmY = picture.dotsPerMeterY();
    const bool stated = dpmX != blank.dotsPerMeterX() || dpmY != blank.dotsPerMeterY();
    image->Info.XPixelSize = stated && dpmX > 0 ? 1.0 / dpmX : 0.0;
    image->Info.YPixelSize = stated && dpmY > 0 ? 1.0 / dpmY : 0.0;
}

} // namespace

int32_t GetImageFileInfo(const char* name, int32_t, ImageFileInfo* info)
{
    if (!info) return 0;
    *info = ImageFileInfo();
    PictureFile file;
    if (!file.Open(name)) return 0;
    info->Width = file.Width();
    info->Height = file.Height();
    info->Color = file.Grey() ? 0 : 1;
    return 1;
}

int32_t LoadImageFile(const char* name, int32_t index, ImageStruct* image, int32_t x, int32_t y)
{
    if (!image || index != 0 || x != 0 || y != 0) return 0;
    const int16_t kind = ImageKind(image);
    if (kind != ImageKind8 && kind != ImageKindRGB) return 0;
    if (image->XSize < 0 || image->YSize < 0) return 0;
    if (image->XSize > 0 && image->YSize > 0) {
        // Rows must not overlap, nor may pixels be missing.
        const int64_t row = int64_t(image->XSize) * ImageElementBytes(image);
        const int64_t step = image->LineStep < 0 ? -int64_t(image->LineStep) : image->LineStep;
        if (!image->Data || (image->YSize > 1 && step < row)) return 0;
    }

    PictureFile file;
    if (!file.Open(name)) return 0;
    const QImage picture = file.Decode();
    if (picture.isNull()) return 0;
    Store(picture, file.Grey(), image);
    RecordSource(name, picture, image);
    TouchImage(image);
    return 1;
}

ImageStruct* CreateImageFile(const char* name, int32_t, int32_t, int32_t)
{
    PictureFile file;
    if (!file.Open(name)) return nullptr;
    const QImage picture = file.Decode();
    if (picture.isNull()) return nullptr;
    ImagePtr image(file.Grey() ? NewImage8(file.Width(), file.Height())
                               : NewImageRGB(file.Width(), file.Height()));
    if (!image) return nullptr;
    Store(picture, file.Grey(), image.get());
    RecordSource(name, picture, image.get());
    TouchImage(image.get());
    return image.release();
}
