#pragma once

#include "FileIo.h"
#include "VolumeReader.h"
#include "VolumeStack.h"

#include <cstdint>
#include <memory>
#include <string>

/**
 * Reads the TIFF or BigTIFF file that ProbeVolumeFile opened (`file`, its head read)
 * into `stack`, through libtiff: ImageJ hyperstacks by their description, OME-TIFF by
 * the OME-XML of the first page, any other multi-page file as a z stack of one channel
 * (RGB pages as three channels R, G and B).
 *
 * Returns ByteVolume::LoadOk, LoadFailed (with the reason in `message`), LoadReadFailed
 * (the data could not be decoded) or LoadCancelled. On every code but LoadOk the stack
 * keeps what it held. On LoadOk `message` holds a warning, or is empty.
 */
int32_t ReadTiffStack(FileIo::OpenedFile& file, VolumeStack& stack, std::string& message,
                      const StackReadOptions* options);

/**
 * The layout ReadTiffStack would give `file`, from its directories and descriptions
 * alone: no sample is read. Returns ByteVolume::LoadOk (`message` then holds the warning
 * the read would give, or is empty) or LoadFailed with the reason ReadTiffStack would
 * give before reading samples.
 */
int32_t ReadTiffLayout(FileIo::OpenedFile& file, StackLayout& layout, std::string& message);

/**
 * Opens the TIFF file that ProbeVolumeFile opened to be read plane by plane (see
 * OpenStackSource). Returns ReadTiffStack's codes and messages.
 */
int32_t OpenTiffSource(FileIo::OpenedFile& file, std::unique_ptr<PlaneSource>& source,
                       std::string& message);
