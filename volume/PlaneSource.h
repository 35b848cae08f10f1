#pragma once

#include "MappedFile.h"
#include "VolumeStack.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/**
 * The samples of a stack read plane by plane from where they are, instead of all held
 * in memory: the way to volumes larger than the machine's memory. No Qt, no formats
 * (the readers that make sources live with the other readers).
 *
 * A plane comes as a VolumeStack plane does: SizeY rows of SizeX samples of the
 * layout's kind, in the host's byte order. Reading one may fail (the file was truncated
 * meanwhile, a compressed page does not decode): the reason is given, and a source whose
 * file was truncated fails every later read too.
 *
 * Sources with RandomAccess read any plane at any time, from any number of threads at
 * once. A stream (compressed ICS data) gives its planes only in storage order, volume
 * (c, t) after volume, t·Channels + c ascending, plane z ascending, each once.
 */
class PlaneSource
{
public:
    virtual ~PlaneSource() = default;

    const StackLayout& Layout() const { return layout_; }
    int64_t RowBytes() const { return int64_t(layout_.SizeX) * SampleKindBytes(layout_.Kind); }
    int64_t PlaneBytes() const { return RowBytes() * layout_.SizeY; }
    /** What the file warned of when it was opened (as ReadStack says it), or empty. */
    const std::string& Warning() const { return warning_; }

    /** True when planes can be read in any order and on any thread (see the class). */
    virtual bool RandomAccess() const { return true; }
    /**
     * True when ReadRows reads the rows alone, so that a plane read in runs of rows costs
     * no more than read whole: a reader then takes it in runs small enough to stay in the
     * processor's cache.
     */
    virtual bool ReadsRows() const { return false; }

    /**
     * True when plane z of volume (c, t) is known to hold nothing but zero bytes without
     * reading it: a hole of a sparse file, or past the end of a short data section. A
     * reader may then take the plane as zeros and read nothing.
     */
    virtual bool ZeroPlane(int /*c*/, int /*t*/, int64_t /*z*/) { return false; }

    /** Copies plane z of volume (c, t) into `out` (PlaneBytes bytes). */
    virtual bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) = 0;

    /**
     * Copies rows y0 … y1 − 1 of plane z of volume (c, t) into `out`, one after another.
     * A source that can reach rows alone (a mapped file) reads only those; others read
     * the plane. RandomAccess sources only.
     */
    virtual bool ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                          std::string& error);

    /**
     * Copies sample x of every row of plane z of volume (c, t) into `out` (SizeY samples):
     * one column, as a side view needs it. RandomAccess sources only.
     */
    virtual bool ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error);

    /** How planes z0 … z1 − 1 of volume (c, t) will be read next (a hint). */
    virtual void WillRead(int /*c*/, int /*t*/, int64_t /*z0*/, int64_t /*z1*/,
                          MappedFile::Access /*access*/)
    {
    }
    /**
     * Planes z0 … z1 − 1 of volume (c, t) are not needed again soon: a mapped source drops
     * their pages from the process's resident set, a caching one may forget them.
     */
    virtual void DoneWith(int /*c*/, int /*t*/, int64_t /*z0*/, int64_t /*z1*/) {}

protected:
    StackLayout layout_;
    std::string warning_;

private:
    std::vector<uint8_t> scratch_; ///< a plane, for ReadRows and ReadColumn by ReadPlane
};

/**
 * A source over a stack held in memory: one it owns (a file that can only be read whole),
 * or one that must outlive it (tests and benchmarks).
 */
class StackPlaneSource : public PlaneSource
{
public:
    explicit StackPlaneSource(const VolumeStack& stack);
    StackPlaneSource(VolumeStack stack, std::string warning);
    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override;
    /**
     * Hands the stack it owns over to `stack`, so that a file read whole is not read again;
     * false when it owns none. The source holds no samples afterwards.
     */
    bool TakeStack(VolumeStack& stack);

private:
    VolumeStack owned_;
    const VolumeStack* stack_;
};

/**
 * A source over a file mapping whose samples run as the stack's do, up to strides: the
 * rows of every plane contiguous at the file offset
 * Offset + y·StrideY + z·StrideZ + c·StrideC + t·StrideT, in the file's byte order.
 * Bytes past the end the file had when it was opened read as 0 (a short data section).
 */
class MappedPlaneSource : public PlaneSource
{
public:
    struct Geometry
    {
        int64_t Offset = 0;
        int64_t StrideY = 0, StrideZ = 0, StrideC = 0, StrideT = 0;
        bool Swap = false; ///< the file's byte order is not the host's
    };
    MappedPlaneSource(std::shared_ptr<MappedFile> file, const StackLayout& layout,
                      const Geometry& geometry, std::string warning = {});

    bool ReadsRows() const override { return true; }
    bool ZeroPlane(int c, int t, int64_t z) override;
    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override;
    bool ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                  std::string& error) override;
    bool ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error) override;
    void WillRead(int c, int t, int64_t z0, int64_t z1, MappedFile::Access access) override;
    void DoneWith(int c, int t, int64_t z0, int64_t z1) override;

    const MappedFile& File() const { return *file_; }

private:
    int64_t RowOffset(int c, int t, int64_t z, int64_t y) const
    {
        return geometry_.Offset + y * geometry_.StrideY + z * geometry_.StrideZ +
               c * geometry_.StrideC + t * geometry_.StrideT;
    }
    /**
     * Reads `bytes` from file offset `at`, zeros past the file's end, and swaps them if
     * needed: with the system's read, or through the mapping when `mapped`.
     */
    bool CopyBytes(int64_t at, int64_t bytes, uint8_t* out, bool mapped, std::string& error) const;

    std::shared_ptr<MappedFile> file_;
    Geometry geometry_;
};

/** Reverses the bytes of each of the `count` samples of `bytes` bytes at `samples`. */
void SwapSampleBytes(uint8_t* samples, size_t count, int bytes);
