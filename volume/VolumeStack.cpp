#include "VolumeStack.h"

#include "MappedFile.h"

#include <cstdlib>
#include <cstring>
#include <new>

int SampleKindBytes(SampleKind kind)
{
    switch (kind) {
    case SampleKind::UInt8:
    case SampleKind::Int8:
        return 1;
    case SampleKind::UInt16:
    case SampleKind::Int16:
        return 2;
    case SampleKind::UInt32:
    case SampleKind::Int32:
    case SampleKind::Float32:
        return 4;
    case SampleKind::UInt64:
    case SampleKind::Int64:
    case SampleKind::Float64:
        return 8;
    }
    return 1;
}

bool IsFloatKind(SampleKind kind)
{
    return kind == SampleKind::Float32 || kind == SampleKind::Float64;
}

bool IsSignedKind(SampleKind kind)
{
    return kind == SampleKind::Int8 || kind == SampleKind::Int16 || kind == SampleKind::Int32 ||
           kind == SampleKind::Int64;
}

std::string SampleKindName(SampleKind kind)
{
    const std::string bits = std::to_string(SampleKindBytes(kind) * 8) + "-bit ";
    if (IsFloatKind(kind)) return bits + "float";
    return bits + (IsSignedKind(kind) ? "signed" : "unsigned");
}

std::string StackLayout::ChannelName(int c) const
{
    return c >= 0 && size_t(c) < ChannelInfos.size() ? ChannelInfos[size_t(c)].Name : std::string();
}

void VolumeStack::Free::operator()(uint8_t* p) const
{
    std::free(p);
}

void VolumeStack::Allocate(const StackLayout& layout)
{
    Clear();
    int64_t voxels = 0, volumes = 0, bytes = 0, total = 0;
    if (!CheckedVoxelCount(layout.SizeX, layout.SizeY, layout.SizeZ, voxels) ||
        layout.Channels < 1 || layout.Frames < 1 ||
        __builtin_mul_overflow(int64_t(layout.Channels), int64_t(layout.Frames), &volumes) ||
        __builtin_mul_overflow(voxels, int64_t(SampleKindBytes(layout.Kind)), &bytes) ||
        __builtin_mul_overflow(bytes, volumes, &total) || total > MachineMemory())
        throw std::bad_alloc();
    volumes_.resize(size_t(volumes));
    for (auto& volume : volumes_) {
        if (bytes == 0) continue;
        // calloc hands out fresh zero pages for large blocks: no pass over memory.
        void* buffer = std::calloc(size_t(bytes), 1);
        if (!buffer) {
            Clear();
            throw std::bad_alloc();
        }
        if (bytes >= (int64_t(4) << 20)) AdviseHugePages(buffer, size_t(bytes));
        volume.reset(static_cast<uint8_t*>(buffer));
    }
    layout_ = layout;
}

void VolumeStack::Clear()
{
    volumes_.clear();
    layout_ = StackLayout();
}

double VolumeStack::ValueAt(int c, int t, int64_t index) const
{
    return SampleValue(Samples(c, t) + index * SampleKindBytes(layout_.Kind), layout_.Kind);
}

double VolumeStack::Value(int c, int t, int64_t x, int64_t y, int64_t z) const
{
    return ValueAt(c, t, (z * layout_.SizeY + y) * layout_.SizeX + x);
}
