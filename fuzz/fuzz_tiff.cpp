// Fuzz target for the TIFF reader: the input is the whole file. It is read through
// ReadTiffLayout and ReadTiffStack, which must agree: the layout the directories give is
// the layout read, failures before the samples fail both alike, and a failed read leaves
// the stack as it was.

#include "FuzzSupport.h"
#include "TiffReader.h"
#include "VolumeFileType.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

volatile uint64_t sampleSum = 0;

/**
 * Stacks of more bytes are only surveyed: a few compressed bytes may rightly ask for
 * gigabytes, and decoding them measures the allocator and the decoder, not the reader.
 */
constexpr int64_t MaxReadBytes = int64_t(64) << 20;

/** The bytes a layout asks for, or -1 when they overflow. */
int64_t LayoutBytes(const StackLayout& l)
{
    int64_t bytes = SampleKindBytes(l.Kind);
    for (const int64_t factor : {int64_t(l.SizeX), int64_t(l.SizeY), int64_t(l.SizeZ),
                                 int64_t(l.Channels), int64_t(l.Frames)})
        if (factor < 0 || __builtin_mul_overflow(bytes, factor, &bytes)) return -1;
    return bytes;
}

bool SameLayout(const StackLayout& a, const StackLayout& b)
{
    return a.SizeX == b.SizeX && a.SizeY == b.SizeY && a.SizeZ == b.SizeZ &&
           a.Channels == b.Channels && a.Frames == b.Frames && a.Kind == b.Kind &&
           a.SignificantBits == b.SignificantBits && a.ChannelInfos.size() == b.ChannelInfos.size();
}

/** Every sample of a stack, volume after volume. */
std::vector<uint8_t> Samples(const VolumeStack& stack)
{
    std::vector<uint8_t> bytes;
    const StackLayout& l = stack.Layout();
    for (int t = 0; t < l.Frames; ++t)
        for (int c = 0; c < l.Channels; ++c)
            bytes.insert(bytes.end(), stack.Samples(c, t), stack.Samples(c, t) + l.VolumeBytes());
    return bytes;
}

/** A small stack of distinct samples, the state every read starts from. */
void FillKnownStack(VolumeStack& stack)
{
    StackLayout layout;
    layout.SizeX = 3;
    layout.SizeY = 2;
    layout.SizeZ = 2;
    layout.Channels = 2;
    stack.Allocate(layout);
    for (int c = 0; c < 2; ++c)
        for (int64_t i = 0; i < layout.VolumeBytes(); ++i)
            stack.Samples(c, 0)[i] = uint8_t(17 + 29 * i + c);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace fuzzsupport;
    const ScratchFolder& folder = ScratchFolder::Get();
    folder.Clean();
    const std::string path = folder.Path("input.tif");
    WriteFile(path, data, size);

    VolumeFileProbe probe = ProbeVolumeFile(path);
    if (probe.Type != VolumeFileType::Tiff) return 0;
    StackLayout layout;
    std::string layoutMessage;
    const int32_t surveyed = ReadTiffLayout(probe.File, layout, layoutMessage);
    Check(surveyed == ByteVolume::LoadOk || surveyed == ByteVolume::LoadFailed,
          "ReadTiffLayout returned an undocumented code");
    Check(surveyed == ByteVolume::LoadOk || !layoutMessage.empty(),
          "a failed ReadTiffLayout gave no reason");
    const int64_t bytes = surveyed == ByteVolume::LoadOk ? LayoutBytes(layout) : 0;
    if (bytes < 0 || bytes > MaxReadBytes) return 0;

    VolumeStack stack;
    FillKnownStack(stack);
    const std::vector<uint8_t> before = Samples(stack);
    double last = 0;
    StackReadOptions options;
    options.Progress = [&](double fraction) {
        Check(fraction > last && fraction <= 1, "the progress went back or past the end");
        last = fraction;
        return true;
    };
    std::string message;
    const int32_t code = ReadTiffStack(probe.File, stack, message, &options);
    Check(code == ByteVolume::LoadOk || code == ByteVolume::LoadFailed ||
              code == ByteVolume::LoadReadFailed,
          "ReadTiffStack returned an undocumented code");

    if (code != ByteVolume::LoadOk) {
        Check(!message.empty(), "a failed read gave no reason");
        Check(stack.Layout().Channels == 2 && Samples(stack) == before,
              "a failed read changed the stack");
        if (surveyed != ByteVolume::LoadOk)
            Check(code == ByteVolume::LoadFailed && message == layoutMessage,
                  "the read failed otherwise than its survey");
        return 0;
    }
    Check(surveyed == ByteVolume::LoadOk, "the read took a file its survey refused");
    Check(SameLayout(stack.Layout(), layout), "the layout read is not the one surveyed");
    Check(message == layoutMessage, "the read warned otherwise than its survey");
    // An OME-TIFF may map no page to any plane: then no progress is reported.
    Check(last == 0 || last == 1, "the progress stopped short of the end");
    uint64_t sum = 0;
    for (int t = 0; t < layout.Frames; ++t)
        for (int c = 0; c < layout.Channels; ++c) {
            Check(stack.HasSamples(c, t), "a volume has no samples");
            const uint8_t* samples = stack.Samples(c, t);
            for (int64_t i = 0; i < layout.VolumeBytes(); ++i)
                sum += samples[i];
        }
    sampleSum = sampleSum + sum;

    // Read plane by plane, the stack is the same.
    std::unique_ptr<PlaneSource> source;
    const VolumeReadResult opened = OpenStackSource(path, source);
    Check(opened.Loaded(), "a stack that reads cannot be read plane by plane");
    Check(SameLayout(source->Layout(), layout) && opened.Message == message,
          "the stack read plane by plane is laid out or warned of otherwise");
    std::vector<uint8_t> plane(size_t(source->PlaneBytes()));
    for (int t = 0; t < layout.Frames; ++t)
        for (int c = 0; c < layout.Channels; ++c)
            for (int64_t z = 0; z < layout.SizeZ; ++z) {
                std::string error;
                Check(source->ReadPlane(c, t, z, plane.data(), error),
                      "a plane of a stack that reads cannot be read alone");
                Check(std::memcmp(plane.data(), stack.Plane(c, t, z), plane.size()) == 0,
                      "a plane read alone differs from the stack's");
            }
    return 0;
}
