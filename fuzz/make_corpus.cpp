// Writes the seed inputs of the fuzz targets:
//   make_corpus RAW_FOLDER ICS_FOLDER [PICTURE_FOLDER [REAL_FOLDER]]
// RAW_FOLDER receives raw volume files, ICS_FOLDER header and data joined by the
// separator line the ICS target splits at (see fuzz_ics.cpp), PICTURE_FOLDER small
// pictures of every format Qt reads here, plus copies of the pictures in REAL_FOLDER
// when that folder exists.

#include "IcsWriter.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Separator = "\n--ids--\n";

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "make_corpus: %s\n", what.c_str());
    std::exit(1);
}

void Save(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush()) Die("cannot write " + path);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) Die("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

void Le32(std::string& out, int32_t value)
{
    const uint32_t v = uint32_t(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(char(uint8_t(v >> shift)));
}

std::string Raw(int32_t x, int32_t y, int32_t z, size_t dataBytes)
{
    std::string out;
    Le32(out, x);
    Le32(out, y);
    Le32(out, z);
    for (size_t i = 0; i < dataBytes; ++i)
        out.push_back(char(uint8_t(i * 37 + 11)));
    return out;
}

void WriteRawSeeds(const std::string& folder)
{
    struct Seed
    {
        const char* name;
        int32_t x, y, z;
        size_t data;
    };
    const Seed seeds[] = {
        {"raw_1x1x1", 1, 1, 1, 1},       {"raw_4x3x2", 4, 3, 2, 24},
        {"raw_16x8x4", 16, 8, 4, 512},   {"raw_0x5x5", 0, 5, 5, 0},
        {"raw_5x0x5", 5, 0, 5, 0},       {"raw_5x5x0", 5, 5, 0, 0},
        {"raw_0x0x0", 0, 0, 0, 0},       {"raw_short_8x8x8", 8, 8, 8, 100},
        {"raw_header_only", 7, 7, 7, 0}, {"raw_trailing", 2, 2, 2, 20},
        {"raw_negative", -1, 2, 2, 0},   {"raw_huge", 2000000000, 2000000000, 2, 0},
    };
    for (const Seed& s : seeds)
        Save(folder + "/" + s.name, Raw(s.x, s.y, s.z, s.data));
    Save(folder + "/raw_truncated_header", Raw(4, 4, 4, 0).substr(0, 7));
}

/** Writes an image through WriteIcsVolume and returns the joined fuzz input. */
std::string IcsSeed(const std::string& work, size_t x, size_t y, size_t z,
                    const IcsWriteOptions& options, std::string* headerText = nullptr)
{
    const std::string ics = work + "/input.ics";
    for (const char* leftover : {"/input.ics", "/input.ids", "/input.ids.gz"})
        ::unlink((work + leftover).c_str());
    std::vector<uint8_t> samples(x * y * z * size_t(options.BytesPerSample));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint8_t(i * 13 + 5);
    std::string message;
    if (!WriteIcsVolume(ics, x, y, z, samples.data(), options, &message))
        Die("WriteIcsVolume failed: " + message);
    std::string header = Slurp(ics);
    if (headerText) *headerText = header;
    if (options.SingleFile) return header;
    // The data file of a version-1 header is the .ids beside it, gzip or not.
    std::string data;
    if (Exists(work + "/input.ids"))
        data = Slurp(work + "/input.ids");
    else if (Exists(work + "/input.ids.gz"))
        data = Slurp(work + "/input.ids.gz");
    return header + Separator + data;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    // A miss means the writer's header changed: better to stop than to seed with
    // copies of the plain header.
    const size_t at = text.find(from);
    if (at == std::string::npos) Die("the generated header has no \"" + from + "\"");
    text.replace(at, from.size(), to);
    return text;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

void WriteIcsSeeds(const std::string& folder, const std::string& work)
{
    auto opts = [](int bytes, int bits, bool gzip, bool single) {
        IcsWriteOptions o;
        o.BytesPerSample = bytes;
        o.SignificantBits = bits;
        o.Gzip = gzip;
        o.SingleFile = single;
        return o;
    };
    std::string plainHeader;
    const std::string plain = IcsSeed(work, 4, 3, 2, opts(1, 0, false, false), &plainHeader);
    Save(folder + "/ics_u8", plain);
    Save(folder + "/ics_u8_gzip", IcsSeed(work, 5, 4, 3, opts(1, 0, true, false)));
    Save(folder + "/ics_u16", IcsSeed(work, 3, 3, 2, opts(2, 0, false, false)));
    Save(folder + "/ics_u16_12bit", IcsSeed(work, 3, 2, 2, opts(2, 12, false, false)));
    Save(folder + "/ics_u16_gzip", IcsSeed(work, 4, 2, 2, opts(2, 0, true, false)));
    Save(folder + "/ics_u32", IcsSeed(work, 2, 2, 2, opts(4, 0, false, false)));
    Save(folder + "/ics_u32_gzip", IcsSeed(work, 3, 2, 1, opts(4, 0, true, false)));
    Save(folder + "/ics_v2_u8", IcsSeed(work, 4, 3, 2, opts(1, 0, false, true)));
    Save(folder + "/ics_v2_u16_gzip", IcsSeed(work, 3, 3, 3, opts(2, 0, true, true)));

    // Hand-made variations of the generated headers.
    auto dataOf = [](const std::string& joined) { return joined.substr(joined.find(Separator)); };
    const std::string data = dataOf(plain);
    Save(folder + "/ics_header_only", plainHeader);
    Save(folder + "/ics_short_data", plainHeader + Separator + "abc");
    Save(folder + "/ics_no_data_file", plainHeader + Separator);
    Save(folder + "/ics_empty_axis",
         Replace(plainHeader, "sizes\t8\t4\t3\t2", "sizes\t8\t4\t0\t2") + Separator);
    Save(folder + "/ics_2d", Replace(Replace(Replace(plainHeader, "parameters\t4", "parameters\t3"),
                                             "bits\tx\ty\tz", "bits\tx\ty"),
                                     "sizes\t8\t4\t3\t2", "sizes\t8\t4\t6") +
                                 data);
    Save(folder + "/ics_4d", Replace(Replace(Replace(plainHeader, "parameters\t4", "parameters\t5"),
                                             "bits\tx\ty\tz", "bits\tx\ty\tz\tt"),
                                     "sizes\t8\t4\t3\t2", "sizes\t8\t4\t3\t2\t1") +
                                 data);
    Save(folder + "/ics_signed", Replace(plainHeader, "sign\tunsigned", "sign\tsigned") + data);
    Save(folder + "/ics_crlf", ReplaceAll(plainHeader, "\n", "\r\n") + data);
    Save(folder + "/ics_history", plainHeader +
                                      "history\tsoftware\tvolinspect\nhistory\tnote\tseed input\n" +
                                      "sensor\ttype\tconfocal\n" + data);
    std::string wideHeader;
    const std::string wide = IcsSeed(work, 3, 3, 2, opts(2, 0, false, false), &wideHeader);
    Save(folder + "/ics_u16_big_endian",
         Replace(wideHeader, "byte_order\t1\t2", "byte_order\t2\t1") + dataOf(wide));
    std::string floatHeader;
    const std::string floats = IcsSeed(work, 2, 2, 2, opts(4, 0, false, false), &floatHeader);
    Save(folder + "/ics_float",
         Replace(floatHeader, "format\tinteger", "format\treal") + dataOf(floats));
    Save(folder + "/ics_u16_10bit",
         Replace(wideHeader, "significant_bits\t16", "significant_bits\t10") + dataOf(wide));
    Save(folder + "/ics_double",
         Replace(Replace(Replace(plainHeader, "format\tinteger", "format\treal"),
                         "sizes\t8\t4\t3\t2", "sizes\t64\t1\t1\t1"),
                 "significant_bits\t8", "significant_bits\t64") +
             Separator + std::string("\0\0\0\0\0\0\xf0\x3f", 8));
    Save(folder + "/ics_complex",
         Replace(floatHeader, "format\tinteger", "format\tcomplex") + dataOf(floats));

    // The same header with every kind of separator pair libics accepts: the field and
    // line separators are whatever its first two bytes are, and a CR LF after the
    // field separator makes LF the line separator.
    const std::pair<const char*, const char*> separators[] = {
        {"\t", "\n"}, {"\t", "\r\n"}, {"\t", "\r"},     {" ", "\n"},
        {",", ";"},   {"\n", "\r"},   {"\x01", "\x02"}, {"\t", "\0"},
    };
    int pair = 0;
    for (const auto& [field, line] : separators) {
        std::string header = plainHeader;
        for (char& c : header)
            c = c == '\t' ? '\x01' : c == '\n' ? '\x02' : c;
        const std::string lineSep = *line ? line : std::string(1, '\0');
        header = ReplaceAll(ReplaceAll(header, "\x01", field), "\x02", lineSep);
        Save(folder + "/ics_separators_" + std::to_string(pair++), header + data);
    }
    // Headers that crashed libics before the check read them its way: a sensor line
    // without values that only libics' line reading finds (a bare LF among CR LF
    // lines), and more sensor channels than libics has room for.
    std::string crlfHeader = ReplaceAll(plainHeader, "\n", "\r\n");
    Save(folder + "/ics_crash_crlf_sensor", crlfHeader + "sensor\ts_params\nend\r\n" + data);
    Save(folder + "/ics_crash_nul_sensor",
         plainHeader + std::string("sensor\ts_params\0\tChannels\t1\n", 28) + data);
    Save(folder + "/ics_crash_channels",
         plainHeader + "sensor\ts_params\tChannels\t100000\n" + data);
    // libics takes its keywords in any case.
    Save(folder + "/ics_crash_capitals", crlfHeader + "SENSOR\tS_pArams\nEND\r\n" + data);
}

/** `image` as Qt's writer for `format` writes it, with the writer's compression when given. */
std::string Encoded(const QImage& image, const char* format, int compression = -1,
                    bool progressive = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (compression >= 0) writer.setCompression(compression);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        Die(std::string("cannot write a ") + format +
            " picture: " + writer.errorString().toStdString());
    return buffer.data().toStdString();
}

/** A w × h picture with colour, grey and alpha gradients, in `format`. */
QImage Gradient(int w, int h, QImage::Format format)
{
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y,
                           qRgba(x * 255 / std::max(1, w - 1), y * 255 / std::max(1, h - 1),
                                 (x * y * 7) & 255, 64 + ((x * 31 + y * 17) & 191)));
    return image.convertToFormat(format);
}

void WritePictureSeeds(const std::string& folder)
{
    auto save = [&](const std::string& name, const std::string& bytes) {
        Save(folder + "/" + name, bytes);
    };
    const QImage rgb = Gradient(7, 5, QImage::Format_RGB32);
    const QImage argb = Gradient(7, 5, QImage::Format_ARGB32);
    const QImage grey = Gradient(7, 5, QImage::Format_Grayscale8);
    const QImage grey16 = Gradient(7, 5, QImage::Format_Grayscale16);
    const QImage mono = Gradient(13, 5, QImage::Format_Mono);
    const QImage palette = Gradient(7, 5, QImage::Format_Indexed8);
    QImage greyPalette(7, 5, QImage::Format_Indexed8);
    for (int i = 0; i < 16; ++i)
        greyPalette.setColor(i, qRgb(i * 17, i * 17, i * 17));
    for (int i = 0; i < 35; ++i)
        greyPalette.setPixel(i % 7, i / 7, i % 16);
    QImage fewColours = greyPalette;
    for (int i = 0; i < 16; ++i)
        fewColours.setColor(i, qRgb(i * 16, 255 - i * 8, i * 3));

    for (const auto& [name, image] : {std::pair{"grey", grey},
                                      {"grey16", grey16},
                                      {"mono", mono},
                                      {"palette", palette},
                                      {"palette_grey", greyPalette},
                                      {"rgb", rgb},
                                      {"rgba", argb},
                                      {"rgba64", Gradient(7, 5, QImage::Format_RGBA64)},
                                      {"rgbx64", Gradient(7, 5, QImage::Format_RGBX64)}})
        save(std::string("png_") + name, Encoded(image, "png"));
    for (const auto& [name, image] : {std::pair{"grey", grey},
                                      {"grey16", grey16},
                                      {"mono", mono},
                                      {"palette", palette},
                                      {"rgb", rgb},
                                      {"rgba", argb},
                                      {"rgba64", Gradient(7, 5, QImage::Format_RGBA64)}})
        save(std::string("tiff_") + name, Encoded(image, "tiff"));
    save("tiff_rgb_lzw", Encoded(rgb, "tiff", 1));
    for (const auto& [name, image] :
         {std::pair{"rgb", rgb}, {"palette8", palette}, {"palette4", fewColours}, {"mono", mono}})
        save(std::string("bmp_") + name, Encoded(image, "bmp"));
    save("jpeg_grey", Encoded(grey, "jpeg"));
    save("jpeg_rgb", Encoded(Gradient(19, 11, QImage::Format_RGB32), "jpeg"));
    save("jpeg_progressive", Encoded(Gradient(19, 11, QImage::Format_RGB32), "jpeg", -1, true));
    save("pgm", Encoded(grey, "pgm"));
    save("ppm", Encoded(rgb, "ppm"));
    save("pbm", Encoded(mono, "pbm"));
    save("pbm_text", "P1\n3 2\n1 0 1\n0 1 0\n");
    save("pgm_text", "P2\n3 2\n255\n0 128 255\n1 2 3\n");
    save("ppm_text", "P3\n2 1\n255\n255 0 0 0 255 0\n");
    save("pgm_16bit", "P5\n2 2\n65535\n" + std::string("\x12\x34\x56\x78\x9a\xbc\xde\xf0", 8));
    save("webp", Encoded(argb, "webp"));
    save("ico", Encoded(Gradient(16, 16, QImage::Format_ARGB32), "ico"));
    save("xpm", Encoded(palette, "xpm"));
    save("xbm", Encoded(mono, "xbm"));
    // One transparent pixel, the smallest GIF there is (Qt writes none).
    save("gif", std::string("GIF89a\x01\0\x01\0\x80\0\0\0\0\0\xff\xff\xff!\xf9\x04\x01\0\0\0\0"
                            ",\0\0\0\0\x01\0\x01\0\0\x02\x02\x44\x01\0;",
                            43));
    // Uncompressed 2 x 2 TGA, with a one-byte identification (with none, the file starts
    // as a cursor does) and the footer Qt's reader asks for. Qt writes none either.
    const std::string tgaHeader("\x01\0\x02\0\0\0\0\0\0\0\0\0\x02\0\x02\0\x18\x20*", 19);
    const std::string tgaFooter = std::string(8, '\0') + "TRUEVISION-XFILE." + std::string(1, '\0');
    save("tga_rgb", tgaHeader + "\x10\x20\x30\x40\x50\x60\x70\x80\x90\xa0\xb0\xc0" + tgaFooter);
    std::string tgaAlpha = tgaHeader;
    tgaAlpha[16] = 32;
    save("tga_rgba", tgaAlpha + std::string(16, '\x7f') + tgaFooter);

    // Headers that declare more pixels than a picture may have, or just that many.
    std::string huge = Encoded(mono, "png");
    auto resize = [&](uint32_t w, uint32_t h) {
        qToBigEndian(w, huge.data() + 16);
        qToBigEndian(h, huge.data() + 20);
        uint32_t crc = ~0u; // over the header chunk's type and data
        for (int i = 12; i < 29; ++i) {
            crc ^= uint8_t(huge[size_t(i)]);
            for (int k = 0; k < 8; ++k)
                crc = crc >> 1 ^ (0xEDB88320u & (0u - (crc & 1)));
        }
        qToBigEndian(~crc, huge.data() + 29);
        return huge;
    };
    save("png_huge", resize(100000, 100000));
    save("png_largest", resize(16384, 16384));
}

/** Copies the picture files of `real` into `folder`; nothing when `real` is absent. */
void CopyRealPictures(const std::string& real, const std::string& folder)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(real, error)) {
        const std::string extension = entry.path().extension().string();
        for (const char* known : {".tif", ".tiff", ".png", ".bmp", ".jpg", ".jpeg", ".pgm", ".ppm",
                                  ".pbm", ".gif", ".webp"})
            if (extension == known && entry.is_regular_file())
                Save(folder + "/real_" + entry.path().filename().string(),
                     Slurp(entry.path().string()));
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5)
        Die("usage: make_corpus RAW_FOLDER ICS_FOLDER [PICTURE_FOLDER [REAL_FOLDER]]");
    const std::string rawFolder = argv[1], icsFolder = argv[2];
    const std::string pictureFolder = argc > 3 ? argv[3] : "";
    for (const std::string& folder : {rawFolder, icsFolder, pictureFolder}) {
        if (folder.empty()) continue;
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error) Die("cannot make " + folder + ": " + error.message());
    }

    std::string pattern =
        (std::filesystem::temp_directory_path() / "volinspect-corpus-XXXXXX").string();
    const char* work = ::mkdtemp(pattern.data());
    if (!work) Die("cannot make a scratch folder");

    WriteRawSeeds(rawFolder);
    WriteIcsSeeds(icsFolder, work);
    if (!pictureFolder.empty()) WritePictureSeeds(pictureFolder);
    if (argc > 4) CopyRealPictures(argv[4], pictureFolder);

    for (const char* leftover : {"/input.ics", "/input.ids", "/input.ids.gz"})
        ::unlink((std::string(work) + leftover).c_str());
    ::rmdir(work);
    return 0;
}
