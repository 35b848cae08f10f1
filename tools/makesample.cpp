// Writes the sample volume: 128 × 128 × 32 voxels of blurred spheres with noise,
// stored as an 8-bit ICS file (header .ics plus data .ids).
//
//   volinspect-sample [FILE]      default FILE: plane8.ics

#include "IcsWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

struct Sphere
{
    double X, Y, Z, Radius, Brightness;
};

} // namespace

int main(int argc, char** argv)
{
    const std::string fileName = argc > 1 ? argv[1] : "plane8.ics";
    constexpr int SizeX = 128, SizeY = 128, SizeZ = 32;

    std::mt19937 random(20261208); // fixed seed: the same sample every time
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Sphere> spheres;
    for (int i = 0; i < 14; ++i)
        spheres.push_back({8 + unit(random) * (SizeX - 16), 8 + unit(random) * (SizeY - 16),
                           4 + unit(random) * (SizeZ - 8), 5 + unit(random) * 14,
                           90 + unit(random) * 140});

    std::normal_distribution<double> noise(0.0, 6.0);
    std::vector<uint8_t> voxels(size_t(SizeX) * SizeY * SizeZ);
    size_t j = 0;
    for (int z = 0; z < SizeZ; ++z)
        for (int y = 0; y < SizeY; ++y)
            for (int x = 0; x < SizeX; ++x) {
                double v = 12.0;
                for (const Sphere& s : spheres) {
                    // Axial distances count double: a microscope blurs more along Z.
                    const double dz = (z - s.Z) * 2.0;
                    const double r =
                        std::sqrt((x - s.X) * (x - s.X) + (y - s.Y) * (y - s.Y) + dz * dz);
                    v += s.Brightness / (1.0 + std::exp((r - s.Radius) / 1.8));
                }
                v += noise(random);
                voxels[j++] = uint8_t(std::clamp(v, 0.0, 255.0));
            }

    std::string message;
    if (!WriteIcsVolume(fileName, SizeX, SizeY, SizeZ, voxels.data(), IcsWriteOptions{},
                        &message)) {
        std::fprintf(stderr, "volinspect-sample: cannot write '%s': %s\n", fileName.c_str(),
                     message.c_str());
        return 1;
    }
    std::printf("%s: %d x %d x %d voxels\n", fileName.c_str(), SizeX, SizeY, SizeZ);
    return 0;
}
