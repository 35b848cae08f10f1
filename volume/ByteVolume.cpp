#include "ByteVolume.h"

#include "MappedFile.h"

#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

bool CheckedVoxelCount(int64_t x, int64_t y, int64_t z, int64_t& count)
{
    if (x < 0 || y < 0 || z < 0) return false;
    int64_t xy = 0;
    if (__builtin_mul_overflow(x, y, &xy)) return false;
    return !__builtin_mul_overflow(xy, z, &count);
}

void AdviseHugePages(void* buffer, size_t bytes)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(buffer) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(buffer) + bytes) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

ByteVolume::~ByteVolume()
{
    Release();
}

ByteVolume::ByteVolume(ByteVolume&& other) noexcept
{
    *this = std::move(other);
}

ByteVolume& ByteVolume::operator=(ByteVolume&& other) noexcept
{
    if (this != &other) {
        Release();
        Data = std::exchange(other.Data, nullptr);
        SizeX = std::exchange(other.SizeX, 0);
        SizeY = std::exchange(other.SizeY, 0);
        SizeZ = std::exchange(other.SizeZ, 0);
        StrideX = other.StrideX;
        StrideY = other.StrideY;
        StrideZ = other.StrideZ;
    }
    return *this;
}

int64_t ByteVolume::MaxVoxelCount()
{
    return MemoryBudget() / 4 * 3;
}

void ByteVolume::Allocate(int32_t x, int32_t y, int32_t z)
{
    Release();
    int64_t count = 0;
    if (!CheckedVoxelCount(x, y, z, count) || count > MachineMemory()) throw std::bad_alloc();
    if (count > 0) {
        // calloc hands out fresh zero pages for large blocks, so zeroing costs no
        // pass over memory.
        void* buffer = std::calloc(size_t(count), 1);
        if (!buffer) throw std::bad_alloc();
        if (count >= (int64_t(4) << 20)) AdviseHugePages(buffer, size_t(count));
        Data = static_cast<uint8_t*>(buffer);
    }
    SizeX = x;
    SizeY = y;
    SizeZ = z;
    StrideX = 1;
    StrideY = x;
    StrideZ = int64_t(x) * y;
}

void ByteVolume::Release()
{
    std::free(Data);
    Data = nullptr;
    SizeX = SizeY = SizeZ = 0;
}

bool ByteVolume::IsIcsFileName(const std::string& fileName)
{
    return fileName.size() >= 5 && fileName.compare(fileName.size() - 4, 4, ".ics") == 0;
}
