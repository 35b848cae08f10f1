#!/usr/bin/python3
"""Writes the TIFF stack the loading benchmark reads, and times tifffile's reading of it.

  make_bench_stack.py write FILE    an ImageJ hyperstack of 16-bit samples: 4 time points,
                                    64 slices, 2 channels of 1024 x 1024 (1 GiB); sample
                                    (x, y, z, c, t) = (3x + 5y + 7z + 11c + 13t) mod 65536
  make_bench_stack.py time FILE N   reads FILE N times with tifffile.imread into numpy and
                                    prints each time in seconds, one a line
"""
import sys
import time

import numpy
import tifffile

T, Z, C, Y, X = 4, 64, 2, 1024, 1024


def write(path):
    x = numpy.arange(X, dtype=numpy.uint32) * 3
    y = numpy.arange(Y, dtype=numpy.uint32)[:, None] * 5
    plane = x + y
    with tifffile.TiffWriter(path, imagej=True) as tif:
        data = numpy.empty((T, Z, C, Y, X), dtype=numpy.uint16)
        for t in range(T):
            for z in range(Z):
                for c in range(C):
                    data[t, z, c] = (plane + 7 * z + 11 * c + 13 * t) & 0xFFFF
        tif.write(data, metadata={"axes": "TZCYX"})


def timed(path, n):
    for _ in range(n):
        start = time.perf_counter()
        data = tifffile.imread(path)
        seconds = time.perf_counter() - start
        assert data.shape == (T, Z, C, Y, X), data.shape
        del data
        print(f"{seconds:.6f}", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2])
    else:
        timed(sys.argv[2], int(sys.argv[3]))
