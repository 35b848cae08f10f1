#pragma once

#include "ByteVolume.h"
#include "VolumeSamples.h"
#include "VolumeStack.h"

#include <cstdint>
#include <string>

/**
 * The 8-bit voxels of volume (c, t) of `stack`, into `volume` (replaced only on
 * success), by the rules the program has for every kind of sample:
 *
 * - one byte: the byte;
 * - 16-bit integers: their top eight significant bits (sample >> (significant bits − 8),
 *   clamped to 255), the sample taken as its 16 stored bits;
 * - integers of 32 or 64 bits: bits 24 to 29 of the sample, times 4;
 * - floating point: the finite range of that volume mapped linearly onto 0 … 255,
 *   truncated; NaN and −∞ give 0, +∞ 255, a constant volume 0.
 *
 * `message` receives a warning, or is cleared: for floating point the range mapped; for
 * wide integers that vary but all reduce to the same voxel, their range. Returns false,
 * with the reason in `message`, for floating-point samples none of which is finite.
 * Throws std::bad_alloc when memory is short.
 */
bool MakeByteVolume(const VolumeStack& stack, int c, int t, ByteVolume& volume,
                    std::string& message);

/**
 * What reducing some samples to 8-bit voxels found: the range of floating-point samples,
 * and whether wide integer samples all gave the same voxel. The notes of consecutive
 * parts of a volume, merged in order, are those of the whole.
 */
struct ReductionNotes
{
    double Min = 0, Max = 0;        ///< the finite floating-point samples' range
    uint64_t Finite = 0, Total = 0; ///< floating-point samples, finite and in all
    bool Uniform = true;            ///< every voxel so far is Voxel
    bool Seen = false;              ///< some voxel was noted
    uint8_t Voxel = 0;
    int64_t Low = 0, High = 0;    ///< the range of signed integer samples, while Uniform
    uint64_t ULow = 0, UHigh = 0; ///< the range of unsigned integer samples, while Uniform

    /** Takes in the notes of the samples that come after these. */
    void Merge(const ReductionNotes& next);
};

/**
 * The reduction of MakeByteVolume taken a part at a time, for volumes read plane by
 * plane: floating-point volumes first have every part's range noted (NoteRange), merged
 * and set (SetRange); then each part is reduced (Reduce, on any thread), and the notes of
 * all parts, merged in order, give MakeByteVolume's warning (Warning).
 */
class ByteReduction
{
public:
    explicit ByteReduction(const StackLayout& layout);

    /** True for floating-point samples: their range must be set before Reduce. */
    bool NeedsRange() const;
    void NoteRange(const uint8_t* samples, size_t count, ReductionNotes& notes) const;
    /** Takes the range of all samples; false with the reason when none is finite. */
    bool SetRange(const ReductionNotes& range, std::string& message);
    /** Reduces `count` samples into `voxels`, noting what it found. */
    void Reduce(const uint8_t* samples, size_t count, uint8_t* voxels, ReductionNotes& notes) const;
    /** MakeByteVolume's warning for a volume whose parts' notes are `notes`; else empty. */
    std::string Warning(const ReductionNotes& notes) const;

private:
    SampleKind kind_;
    int significantBits_;
    ReductionNotes range_;
};

/**
 * MakeByteVolume, except that samples of one byte are handed over rather than copied:
 * the stack then no longer holds volume (c, t).
 */
bool TakeByteVolume(VolumeStack& stack, int c, int t, ByteVolume& volume, std::string& message);

/**
 * The samples of volume (c, t) in the imaging library's element kinds, for display and
 * readouts: unsigned 16-bit as ImageKind16; signed 16-bit and signed 32-bit as ImageKind32;
 * unsigned 32-bit as ImageKind32 unless a sample exceeds INT32_MAX, then all as ImageKindFloat;
 * floating point and 64-bit integers as ImageKindFloat (64-bit values rounded to the nearest
 * float). Samples of one byte give none (Kind 0): the voxels are the values.
 *
 * Samples whose kind is already an imaging kind (unsigned 16-bit, signed 32-bit, 32-bit
 * float) are not copied when `view` is true: `samples` then refers to the stack's
 * memory, which must outlive it. Throws std::bad_alloc when memory is short.
 */
void MakeDisplaySamples(const VolumeStack& stack, int c, int t, VolumeSamples& samples,
                        bool view = false);

/**
 * The imaging element kind that MakeDisplaySamples gives volume (c, t) of `stack`:
 * ImageKind16 for unsigned 16-bit samples; ImageKind32 for signed 16-bit and signed
 * 32-bit ones, and for unsigned 32-bit ones none of which exceeds INT32_MAX; ImageKindFloat
 * for the other unsigned 32-bit volumes, 64-bit integers and floating point; 0 for samples
 * of one byte (the voxels are the values). Unsigned 32-bit volumes are read once to tell.
 */
int16_t StackDisplayKind(const VolumeStack& stack, int c, int t);

/**
 * True when samples of `kind` shown in `displayKind` (StackDisplayKind) are stored in it
 * already, so that MakeDisplaySamples with `view` refers to them instead of copying:
 * unsigned 16-bit, signed 32-bit, 32-bit float, and unsigned 32-bit in the signed range.
 */
bool IsStoredAsDisplayKind(SampleKind kind, int16_t displayKind);
