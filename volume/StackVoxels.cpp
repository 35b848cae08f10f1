#include "StackVoxels.h"

#include "StackBytes.h"
#include "imgkernel.h"

#include <cstring>
#include <utility>

StackVoxels::~StackVoxels()
{
    Clear();
}

StackVoxels::StackVoxels(StackVoxels&& other) noexcept
{
    *this = std::move(other);
}

StackVoxels& StackVoxels::operator=(StackVoxels&& other) noexcept
{
    if (this != &other) {
        Clear();
        volume_ = std::move(other.volume_);
        borrowed_ = std::exchange(other.borrowed_, false);
    }
    return *this;
}

void StackVoxels::Clear()
{
    // A reference is forgotten before the volume would free what the stack owns.
    if (borrowed_) volume_.Data = nullptr;
    borrowed_ = false;
    volume_.Release();
}

void StackVoxels::Refer(const VolumeStack& stack, int c, int t)
{
    const StackLayout& layout = stack.Layout();
    Clear();
    if (stack.Empty()) return;
    // The strides are those ByteVolume::Allocate gives: the samples' storage order.
    volume_.Data = const_cast<uint8_t*>(stack.Samples(c, t));
    volume_.SizeX = layout.SizeX;
    volume_.SizeY = layout.SizeY;
    volume_.SizeZ = layout.SizeZ;
    volume_.StrideX = 1;
    volume_.StrideY = layout.SizeX;
    volume_.StrideZ = int64_t(layout.SizeX) * layout.SizeY;
    borrowed_ = volume_.Data != nullptr;
}

bool StackVoxels::Make(const VolumeStack& stack, int c, int t, std::string& message)
{
    if (SampleKindBytes(stack.Layout().Kind) == 1) {
        message.clear();
        Refer(stack, c, t);
        return true;
    }
    ByteVolume made;
    if (!MakeByteVolume(stack, c, t, made, message)) return false;
    Adopt(std::move(made));
    return true;
}

void StackVoxels::Adopt(ByteVolume&& volume)
{
    Clear();
    volume_ = std::move(volume);
}
