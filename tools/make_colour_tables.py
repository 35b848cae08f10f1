#!/usr/bin/python3
"""Writes the tables of the viridis, magma and fire colour maps into volume/ColourMap.cpp.

The tables are taken from matplotlib (Debian's python3-matplotlib): viridis and magma are
its listed 256-entry maps, fire is "gnuplot2", gnuplot's colour formulae 30, 31 and 32
sampled at v / 255. Each component is the map's value times 255, rounded. The build needs
none of this: the generated tables are part of the source. Run it from anywhere:

    /usr/bin/python3 tools/make_colour_tables.py
"""

import pathlib
import sys

import numpy as np
from matplotlib import colormaps

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "volume" / "ColourMap.cpp"
BEGIN = "// BEGIN GENERATED TABLES\n"
END = "// END GENERATED TABLES\n"
MAPS = [("ViridisTable", "viridis"), ("MagmaTable", "magma"), ("FireTable", "gnuplot2")]


def table(name):
    """The 256 colours of matplotlib's map `name` as 0xRRGGBB numbers."""
    rgb = np.round(colormaps[name](np.linspace(0.0, 1.0, 256))[:, :3] * 255).astype(int)
    return [r << 16 | g << 8 | b for r, g, b in rgb]


def block():
    lines = []
    for variable, name in MAPS:
        colours = table(name)
        lines.append(f"/** matplotlib's \"{name}\", 256 entries 0xRRGGBB. */\n")
        lines.append(f"constexpr uint32_t {variable}[256] = {{\n")
        for row in range(0, 256, 8):
            lines.append("    " + ", ".join(f"0x{c:06X}" for c in colours[row:row + 8]) + ",\n")
        lines.append("};\n")
    return "".join(lines)


def main():
    text = SOURCE.read_text(encoding="utf-8")
    start, stop = text.find(BEGIN), text.find(END)
    if start < 0 or stop < start:
        sys.exit(f"{SOURCE.name}: the markers of the generated tables are missing")
    SOURCE.write_text(text[:start + len(BEGIN)] + block() + text[stop:], encoding="utf-8")


if __name__ == "__main__":
    main()
