#!/usr/bin/python3
"""Writes TIFF stacks of every kind the TIFF reader takes, with tifffile and tiffcp.

    make_stacks.py FOLDER [REAL_FOLDER] [--seeds]

For each stack FOLDER receives NAME.tif and, unless --seeds, tifffile's own reading of
it as NAME.raw: the samples of its first series, little-endian, in the order (t, c, z,
y, x). FOLDER/manifest.txt has one line per stack:

    FILE DUMP DTYPE T C Z Y X

FILE is the stack (relative to FOLDER, or a path in REAL_FOLDER), DUMP the raw file its
samples must equal (lossless compressed copies share the original's), or "-" when only
the sizes are known (JPEG, which tifffile cannot decode here). The files the reader
must refuse are written too (refused_*.tif), without a manifest line.
With --seeds only the TIFF files are written: seeds for the fuzz target.

    make_stacks.py --sparse FILE

writes only FILE: a sparse BigTIFF of 1024 pages of 4096 x 4096 16-bit samples (32 GiB,
a few hundred KiB on disk), all 0 but rows 1000 to 1015 of page 512, where sample
(x, y) is (3x + 5y + 512) mod 65536.
"""

import os
import shutil
import subprocess
import sys

import numpy as np
import tifffile

# tifffile's axes onto the reader's: samples are channels, other page axes z.
TARGET = {'T': 't', 'C': 'c', 'S': 'c', 'Z': 'z', 'Q': 'z', 'I': 'z', 'Y': 'y', 'X': 'x'}


def tczyx(array, axes):
    order, shape = [], []
    for target in 'tczyx':
        found = [i for i, axis in enumerate(axes) if TARGET[axis] == target]
        order += found
        shape.append(int(np.prod([array.shape[i] for i in found], dtype=np.int64)))
    return array.transpose(order).reshape(shape)


class Writer:
    def __init__(self, folder, seeds):
        self.folder, self.seeds, self.lines = folder, seeds, []
        self.rng = np.random.default_rng(7)

    def path(self, name):
        return os.path.join(self.folder, name)

    def data(self, shape, dtype):
        dtype = np.dtype(dtype)
        if dtype.kind == 'f':
            a = self.rng.normal(0, 1000, shape).astype(dtype)
            a.flat[:3] = [np.nan, -np.inf, -0.0][: a.size]
            return a
        info = np.iinfo(dtype)
        return self.rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)

    def dump(self, tif, shown, channels=None):
        """Adds tif's manifest line with tifffile's reading (channels: keep only these)."""
        if self.seeds:
            return
        with tifffile.TiffFile(tif) as f:
            series = f.series[0]
            a = tczyx(series.asarray(), series.axes)
        if channels is not None:
            a = a[:, :channels]
        raw = os.path.basename(shown) + '.raw'
        a.astype(a.dtype.newbyteorder('<')).tofile(self.path(raw))
        self.line(shown, raw, a.dtype, a.shape)

    def line(self, shown, raw, dtype, shape):
        self.lines.append(' '.join([shown, raw, np.dtype(dtype).name] + [str(n) for n in shape]))

    def write(self, name, array, channels=None, **options):
        tifffile.imwrite(self.path(name), array, **options)
        self.dump(self.path(name), name, channels)

    def copy(self, name, source, compression):
        """A tiffcp copy of source; lossless copies share its samples, JPEG only its sizes."""
        subprocess.run(['tiffcp', '-c', compression, self.path(source), self.path(name)],
                       check=True, stderr=subprocess.DEVNULL)
        if self.seeds:
            return
        mine = next(line.split() for line in self.lines if line.split()[0] == source)
        mine[0] = name
        if compression.startswith('jpeg'):
            mine[1] = '-'
        self.lines.append(' '.join(mine))


def ome_planes(w):
    """An OME-TIFF of DimensionOrder XYZTC whose planes lie in the pages out of order,
    named through a namespace prefix, with channel colours and units."""
    sizes = {'Z': 3, 'T': 2, 'C': 2}
    planes = w.data((2, 2, 3, 6, 5), np.uint16)  # C, T, Z, Y, X
    count = 12
    order = [(c, t, z) for c in range(2) for t in range(2) for z in range(3)]
    pages = list(np.random.default_rng(3).permutation(count))  # plane i lies in pages[i]
    stack = np.zeros((count, 6, 5), np.uint16)
    tiffdata = ''
    for i, (c, t, z) in enumerate(order):
        stack[pages[i]] = planes[c, t, z]
        tiffdata += (f'<ome:TiffData IFD="{pages[i]}" FirstZ="{z}" FirstT="{t}" FirstC="{c}" '
                     f'PlaneCount="1"/>')
    xml = ('<?xml version="1.0" encoding="UTF-8"?>'
           '<ome:OME xmlns:ome="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
           '<ome:Image ID="Image:0"><ome:Pixels ID="Pixels:0" DimensionOrder="XYZTC" '
           'Type="uint16" SizeX="5" SizeY="6" SizeZ="{Z}" SizeT="{T}" SizeC="{C}" '
           'PhysicalSizeX="0.125" PhysicalSizeY="0.25" PhysicalSizeZ="2" '
           'PhysicalSizeXUnit="nm" PhysicalSizeYUnit="nm" PhysicalSizeZUnit="nm">'
           '<ome:Channel ID="Channel:0:0" Name="DAPI" Color="65535"/>'
           '<ome:Channel ID="Channel:0:1" Name="GFP" Color="-16776961"/>'
           '{tiffdata}</ome:Pixels></ome:Image>'
           '<ome:Image ID="Image:1"><ome:Pixels ID="Pixels:1" DimensionOrder="XYZCT" '
           'Type="uint8" SizeX="1" SizeY="1" SizeZ="1" SizeT="1" SizeC="1"/></ome:Image>'
           '</ome:OME>').format(tiffdata=tiffdata, **sizes)
    tifffile.imwrite(w.path('ome_planes.tif'), stack, description=xml, metadata=None,
                     photometric='minisblack')
    w.dump(w.path('ome_planes.tif'), 'ome_planes.tif')


def refused(w):
    """Files the reader must refuse."""
    tifffile.imwrite(w.path('refused_1bit.tif'), w.data((9, 11), np.uint8) > 0)
    tifffile.imwrite(w.path('refused_palette.tif'), w.data((8, 8), np.uint8),
                     photometric='palette', colormap=w.data((3, 256), np.uint16))
    tifffile.imwrite(w.path('refused_complex.tif'), np.arange(20, dtype=np.complex64).reshape(4, 5) * 1j)
    tifffile.imwrite(w.path('refused_float16.tif'), w.data((4, 5), np.float16))
    tifffile.imwrite(w.path('refused_cmyk.tif'), w.data((4, 5, 4), np.uint8),
                     photometric='separated')
    with tifffile.TiffWriter(w.path('refused_sizes.tif')) as f:
        f.write(w.data((10, 10), np.uint8))
        f.write(w.data((12, 10), np.uint8))
    with tifffile.TiffWriter(w.path('refused_kinds.tif')) as f:
        f.write(w.data((10, 10), np.uint8))
        f.write(w.data((10, 10), np.uint16))
    # tifffile writes no 12-bit samples without imagecodecs: 16 made 12 in place.
    name = w.path('refused_12bit.tif')
    tifffile.imwrite(name, w.data((8, 8), np.uint16), photometric='minisblack', metadata=None)
    with tifffile.TiffFile(name) as f:
        offset = f.pages[0].tags['BitsPerSample'].valueoffset
    with open(name, 'r+b') as f:
        f.seek(offset)
        f.write(np.uint16(12).tobytes())
    # Stacks cut short: tifffile writes the first directory, all samples, then the
    # other directories.
    for name, shape, cut in (('refused_cut_samples.tif', (40, 50), 100),
                             ('refused_cut_directory.tif', (3, 20, 20), 200)):
        tifffile.imwrite(w.path(name), w.data(shape, np.uint16), photometric='minisblack')
        with open(w.path(name), 'r+b') as f:
            f.truncate(os.path.getsize(w.path(name)) - cut)


def odd(w):
    """Files whose descriptions do not fit their pages, and one with a thumbnail."""
    ome = ('<?xml version="1.0"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
           '<Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYZCT" Type="uint16" '
           'SizeX="5" SizeY="6" SizeZ="{z}" SizeC="1" SizeT="1">{tiffdata}</Pixels></Image></OME>')
    stack = w.data((2, 6, 5), np.uint16)
    tifffile.imwrite(w.path('odd_ome_count.tif'), stack, photometric='minisblack',
                     metadata=None, description=ome.format(z=50, tiffdata=''))
    tiffdata = '<TiffData IFD="0" PlaneCount="2"><UUID FileName="other.ome.tif">urn:uuid:1</UUID></TiffData>'
    tifffile.imwrite(w.path('refused_ome_elsewhere.tif'), stack, photometric='minisblack',
                     metadata=None, description=ome.format(z=2, tiffdata=tiffdata))
    tifffile.imwrite(w.path('odd_ij_images.tif'), w.data((3, 6, 5), np.uint8),
                     photometric='minisblack', metadata=None,
                     description='ImageJ=1.11a\nimages=1000\nslices=1000\n')
    with tifffile.TiffWriter(w.path('odd_thumbnail.tif')) as f:
        f.write(w.data((2, 16, 16), np.uint8), photometric='minisblack', metadata=None)
        f.write(w.data((4, 4), np.uint8), subfiletype=1)


def source_planes(w):
    """Stacks the plane source reads its own ways: tiles as wide as the page, and an
    OME-TIFF with a plane no page holds (not in the manifest: tifffile reads it otherwise)."""
    w.write('tiled_wide_uint16.tif', w.data((2, 20, 40), np.uint16), tile=(16, 48),
            photometric='minisblack', metadata=None)
    xml = ('<?xml version="1.0"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06">'
           '<Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYZCT" Type="uint8" '
           'SizeX="5" SizeY="4" SizeZ="3" SizeC="1" SizeT="1">'
           '<TiffData IFD="0" FirstZ="0" PlaneCount="1"/><TiffData IFD="2" FirstZ="2" '
           'PlaneCount="1"/></Pixels></Image></OME>')
    tifffile.imwrite(w.path('ome_missing.tif'), w.data((3, 4, 5), np.uint8),
                     photometric='minisblack', metadata=None, description=xml)
    # Three alike planes, zlib-compressed; the second page's data no longer decode.
    name = w.path('damaged_zlib.tif')
    tifffile.imwrite(name, np.stack([w.data((6, 7), np.uint16)] * 3), compression='zlib',
                     photometric='minisblack', metadata=None)
    with tifffile.TiffFile(name) as f:
        offset = f.pages[1].dataoffsets[0]
    with open(name, 'r+b') as f:
        f.seek(offset)
        f.write(b'\xff\xff')


def sparse(path):
    z, y, x = 1024, 4096, 4096
    m = tifffile.memmap(path, shape=(z, y, x), dtype=np.uint16, bigtiff=True,
                        photometric='minisblack', metadata=None)
    rows = np.arange(1000, 1016, dtype=np.uint32)[:, None]
    m[z // 2, 1000:1016] = (np.arange(x, dtype=np.uint32) * 3 + rows * 5 + z // 2) & 0xFFFF
    m.flush()


def main():
    args = [a for a in sys.argv[1:] if a != '--seeds']
    w = Writer(args[0], '--seeds' in sys.argv)
    os.makedirs(w.folder, exist_ok=True)
    mb = dict(photometric='minisblack')

    # ImageJ hyperstacks: pages channel fastest, then slice, then frame.
    w.write('ij_u16.tif', w.data((2, 3, 2, 7, 9), np.uint16), imagej=True,
            resolution=(2.0, 4.0), metadata={'axes': 'TZCYX', 'spacing': 2.5, 'unit': 'micron'})
    w.write('ij_f32.tif', w.data((2, 3, 6, 5), np.float32), imagej=True,
            metadata={'axes': 'TCYX', 'unit': '\\u00B5m'})
    w.write('ij_rgb.tif', w.data((2, 5, 6, 3), np.uint8), imagej=True, photometric='rgb')
    # Large enough (8 MiB) for the reader to fault its pages in on a second thread; too
    # large for a seed.
    if not w.seeds:
        w.write('ij_large.tif', w.data((16, 2, 256, 512), np.uint16), imagej=True,
                metadata={'axes': 'ZCYX'})
    # Only the first page has a directory; the other planes follow its samples.
    w.write('ij_contiguous.tif', w.data((3, 2, 8, 5), np.uint16), imagej=True, truncate=True,
            metadata={'axes': 'ZCYX'})
    w.write('ij_contiguous_be.tif', w.data((4, 6, 7), np.float32), imagej=True, truncate=True,
            byteorder='>', metadata={'axes': 'ZYX'})

    # OME-TIFF as tifffile writes it, and one with its planes out of order.
    w.write('ome_u16.tif', w.data((2, 3, 2, 6, 5), np.uint16), ome=True,
            metadata={'axes': 'TZCYX', 'Channel': {'Name': ['red', 'far red']},
                      'PhysicalSizeX': 0.5, 'PhysicalSizeY': 0.75, 'PhysicalSizeZ': 3.0,
                      'PhysicalSizeZUnit': 'mm'})
    w.write('ome_rgb.tif', w.data((2, 4, 5, 3), np.uint8), ome=True, photometric='rgb',
            metadata={'axes': 'ZYXS'})
    ome_planes(w)

    # Plain stacks of every sample kind, in both byte orders, strips and tiles.
    for dtype in ('uint8', 'int8', 'int16', 'uint32', 'int32', 'float32', 'float64', 'uint64'):
        w.write(f'plain_{dtype}.tif', w.data((3, 7, 9), dtype), **mb)
    w.write('plain_int16_be.tif', w.data((3, 7, 9), np.int16), byteorder='>', **mb)
    w.write('plain_float64_be.tif', w.data((2, 7, 9), np.float64), byteorder='>', **mb)
    w.write('bigtiff_float32.tif', w.data((4, 10, 12), np.float32), bigtiff=True, **mb)
    w.write('tiled_uint16.tif', w.data((2, 20, 40), np.uint16), tile=(16, 16), **mb)
    w.write('tiled_rgb.tif', w.data((40, 50, 3), np.uint8), tile=(16, 32), photometric='rgb')
    w.write('strips_uint16.tif', w.data((2, 37, 20), np.uint16), rowsperstrip=5, **mb)
    w.write('single_uint8.tif', w.data((33, 47), np.uint8))
    w.write('samples_int16.tif', w.data((3, 10, 12), np.int16))  # one page, 3 samples
    w.write('rgb_uint8.tif', w.data((2, 10, 12, 3), np.uint8), photometric='rgb')
    w.write('rgb_planar_uint16.tif', w.data((3, 10, 12), np.uint16), photometric='rgb',
            planarconfig='separate')
    w.write('rgba_uint8.tif', w.data((10, 12, 4), np.uint8), photometric='rgb', channels=3)

    # Compressed copies, by libtiff's own tools.
    w.copy('ij_u16_lzw.tif', 'ij_u16.tif', 'lzw')
    w.copy('ome_u16_zip.tif', 'ome_u16.tif', 'zip')
    w.copy('plain_int16_lzw2.tif', 'plain_int16.tif', 'lzw:2')
    w.copy('plain_float32_zip3.tif', 'plain_float32.tif', 'zip:3')
    w.copy('tiled_uint16_packbits.tif', 'tiled_uint16.tif', 'packbits')
    w.copy('rgb_planar_uint16_zip.tif', 'rgb_planar_uint16.tif', 'zip')
    w.copy('rgb_uint8_packbits.tif', 'rgb_uint8.tif', 'packbits')
    w.copy('single_uint8_jpeg.tif', 'single_uint8.tif', 'jpeg')
    w.copy('rgb_uint8_jpeg.tif', 'rgb_uint8.tif', 'jpeg')
    w.copy('tiled_rgb_jpeg.tif', 'tiled_rgb.tif', 'jpeg')
    if not w.seeds:
        w.copy('ij_large_zip.tif', 'ij_large.tif', 'zip')

    refused(w)
    odd(w)
    if not w.seeds:
        source_planes(w)

    # Real files, compared with tifffile's reading of them.
    if len(args) > 1 and os.path.isdir(args[1]):
        for name in sorted(os.listdir(args[1])):
            if name.lower().endswith(('.tif', '.tiff')):
                real = os.path.join(args[1], name)
                if w.seeds:
                    shutil.copy(real, w.path('real_' + name))
                else:
                    w.dump(real, real)

    if not w.seeds:
        with open(w.path('manifest.txt'), 'w') as f:
            f.write('\n'.join(w.lines) + '\n')


if __name__ == '__main__':
    if sys.argv[1:2] == ['--sparse']:
        sparse(sys.argv[2])
    else:
        main()
