#include "VolumeSamples.h"

#include "imgkernel.h"

#include <cstring>

int VolumeSamples::ElementBytes() const
{
    switch (Kind) {
    case ImageKind16:
        return 2;
    case ImageKind32:
    case ImageKindFloat:
        return 4;
    default:
        return 0;
    }
}

bool VolumeSamples::Empty() const
{
    return ElementBytes() == 0 || Count() <= 0 ||
           (!View && Bytes.size() < size_t(Count() * ElementBytes()));
}

double VolumeSamples::ValueAt(int64_t index) const
{
    const uint8_t* p = Data() + index * ElementBytes();
    switch (Kind) {
    case ImageKind16: {
        uint16_t value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }
    case ImageKind32: {
        int32_t value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }
    case ImageKindFloat: {
        float value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }
    default:
        return 0;
    }
}

double VolumeSamples::Value(int64_t x, int64_t y, int64_t z) const
{
    return ValueAt((z * SizeY + y) * SizeX + x);
}

void VolumeSamples::Clear()
{
    Kind = 0;
    SizeX = SizeY = SizeZ = 0;
    std::vector<uint8_t>().swap(Bytes);
    View = nullptr;
}
