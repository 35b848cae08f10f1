#pragma once

#include "PlaneSource.h"

#include <string>

/** The figure of one volume of a source, and what came up on the way. */
struct StreamedFigure
{
    float Figure = 0;    ///< NaN when there is none (see Failure and the sizes)
    std::string Warning; ///< what the 8-bit reduction warned of, as MakeByteVolume does
    /** Why there is no figure: no finite sample, or a plane that could not be read. */
    std::string Failure;
    bool ReadFailed = false; ///< Failure is a plane that could not be read
};

/**
 * The high-frequency figure of volume (c, t) of `source`, read plane by plane: bit for
 * bit ComputeHighFrequencyFigure of the 8-bit voxels MakeByteVolume would make of the
 * volume, with the same warning, holding no more than a few planes a thread whatever the
 * volume's size. Planes are read, reduced and measured on `threads` threads (RandomAccess
 * sources of 4 Mi voxels and more; a stream is read in order on one thread at a time),
 * their terms added in order. Floating-point volumes are read twice: first for their
 * range. Pages read from a mapping are dropped again behind the last plane added.
 */
StreamedFigure StreamHighFrequencyFigure(PlaneSource& source, int c, int t, unsigned threads);
