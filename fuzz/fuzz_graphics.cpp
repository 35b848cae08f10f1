// Fuzz target for graphics lists: the input is a mapping, a display range, a clip
// rectangle and a list of items (kind, colour, five coordinates), drawn with DrawList
// and hit-tested with ItemHit. Invariants:
//  - a list drawn clipped shows, inside the clip, exactly what it shows unclipped
//    (the items skipped by their bounds really have no pixel there);
//  - a display range draws what a list of just those items draws;
//  - items of unknown kinds or with coordinates that are not finite are never hit.

#include "imgdraw.h"
#include "imgkernel.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int Size = 48;

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

/** Reads the next value of type T from the input, or 0 past its end. */
struct Reader
{
    const uint8_t* data;
    size_t size;
    template <class T> T Next()
    {
        T value{};
        if (size >= sizeof value) {
            std::memcpy(&value, data, sizeof value);
            data += sizeof value;
            size -= sizeof value;
        } else {
            size = 0;
        }
        return value;
    }
};

QImage Draw(const GraphicsListStruct& list, const float m[4], int start, int count,
            const QRect* clip)
{
    QImage image(Size, Size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    if (clip) painter.setClipRect(*clip);
    DrawList(painter, &list, m[0], m[1], m[2], m[3], start, count);
    return image;
}

bool Usable(const GraphicsItemStruct& item)
{
    if (item.Kind < GraphicsPoint || item.Kind > GraphicsArc) return false;
    for (int i = item.Kind == GraphicsPoint ? 2 : 0; i < (item.Kind == GraphicsArc ? 5 : 4); ++i)
        if (!std::isfinite(item.Coords[i])) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    float m[4];
    for (float& v : m)
        v = in.Next<float>();
    const int start = in.Next<int8_t>(), count = in.Next<int8_t>();
    const QRect clip(in.Next<uint8_t>() % Size, in.Next<uint8_t>() % Size,
                     1 + in.Next<uint8_t>() % Size, 1 + in.Next<uint8_t>() % Size);

    GraphicsListStruct list;
    InitListSize(&list, 16);
    while (in.size > 0 && list.Count < list.Allocated) {
        GraphicsItemStruct item;
        item.Kind = in.Next<int8_t>();
        item.Color = in.Next<uint8_t>() < 128 ? GraphicsListColor : in.Next<uint32_t>() & 0xFFFFFF;
        for (float& c : item.Coords)
            c = in.Next<float>();
        AppendToList(&list, item);
    }
    list.Color = 0x00FFFF;

    // Clipping keeps what is inside the clip.
    const QImage whole = Draw(list, m, start, count, nullptr);
    const QImage clipped = Draw(list, m, start, count, &clip);
    const QRect inside = clip & whole.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        Require(std::memcmp(whole.constScanLine(y) + 4 * inside.left(),
                            clipped.constScanLine(y) + 4 * inside.left(),
                            4 * size_t(inside.width())) == 0,
                "a clipped list misses pixels inside its clip");

    // A display range draws what a list of those items alone draws.
    GraphicsListStruct part;
    InitListSize(&part, 16);
    part.Color = list.Color;
    const int first = std::max(start, 0);
    const int end = count > 0 ? std::min(first + count, int(list.Count)) : int(list.Count);
    for (int i = first; i < end; ++i)
        AppendToList(&part, list.Items[i]);
    Require(Draw(part, m, 0, 0, nullptr) == whole, "a display range draws other items");

    // Hit tests: never for unusable items; the same answer twice.
    for (int i = 0; i < list.Count; ++i)
        for (int p = 0; p < 4; ++p) {
            const int x = (p * 17 + i * 5) % Size - 4, y = (p * 29 + i * 3) % Size - 4;
            const bool hit = ItemHit(nullptr, &list.Items[i], m[0], m[1], x, y, m[2], m[3]);
            Require(!hit || Usable(list.Items[i]), "an unusable item was hit");
            Require(hit == ItemHit(nullptr, &list.Items[i], m[0], m[1], x, y, m[2], m[3]),
                    "a hit test changed its answer");
        }
    DestroyList(&part);
    DestroyList(&list);
    return 0;
}
