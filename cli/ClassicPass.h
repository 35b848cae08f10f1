#pragma once

#include "VolumeReader.h"

#include <functional>
#include <string>
#include <vector>

class ByteVolume;

/**
 * The classic option pass (the options of CommandLine.h, carried out in order) over one
 * volume, with what it keeps while it runs: whether a load failed (figures then print as
 * "nan" until the next good one), whether a figure it printed was no number, the file of
 * the last load. Figures and texts go to standard output, each handed to the system at
 * once; warnings go to standard error after what standard output holds.
 *
 * A run whose options end at "-exit" carries the pass out by itself (RunClassicBatch),
 * without a window and without Qt. The classic window carries it out while it is made
 * and fills in the hooks, to show in the window what the pass did.
 */
class ClassicPass
{
public:
    /** The figure of "-echohighpeak" and whether its computation was cancelled. */
    struct Figure
    {
        float Value = 0.0f;
        bool Cancelled = false; ///< stopped by the user; the figure is then nan
    };

    /** What the window adds to the pass; an empty hook does nothing. */
    struct Hooks
    {
        /** Carries out `load`, the reading of a file (the window shows a wait cursor). */
        std::function<void(const std::function<void()>& load)> WhileLoading;
        /** The volume now holds `fileName`, loaded with `warning` (empty when none). */
        std::function<void(const std::string& fileName, const std::string& warning)> Loaded;
        /** `fileName` could not be loaded, for `reason`; the volume is as it was. */
        std::function<void(const std::string& fileName, const std::string& reason)> LoadFailed;
        /**
         * Computes the figure for "-echohighpeak" (the window: the whole-volume spectrum,
         * shown with its curve). Without it the pass computes the figure alone
         * (ComputeHighFrequencyFigure), which is the same to the last bit.
         */
        std::function<Figure()> Spectrum;
    };

    /** A pass over `arguments` (without the program's name and Qt's options) on `volume`. */
    ClassicPass(ByteVolume& volume, std::vector<std::string> arguments, Hooks hooks = {});

    /**
     * Carries the options out. Returns true when the run ends with the pass: at "-exit",
     * or at the first option whose output could not be written.
     */
    bool Run();

    /** 1 when a load failed or a figure that was printed is no number, else 0. */
    int ExitCode() const { return anyLoadFailed_ || nanPrinted_ ? 1 : 0; }

    /**
     * Has every load read its file plane by plane and compute the figure at once, keeping
     * no volume, so that a volume of any size takes a few planes of memory: the pass run
     * without a window, where nothing but "-echohighpeak" looks at the volume. The figure,
     * the warnings and the failures are those of a load into the volume, to the last bit.
     */
    void StreamLoads() { streamLoads_ = true; }

    /** Makes `volume` the blank one the viewer starts with: 100 × 100 × 30 voxels of 0. */
    static void AllocateStartingVolume(ByteVolume& volume);

private:
    void Load(const std::string& fileName);
    /** Reads `fileName` plane by plane into streamed_ (StreamLoads). */
    VolumeReadResult StreamLoad(const std::string& fileName);
    void EchoHighPeak();

    ByteVolume& volume_;
    std::vector<std::string> arguments_;
    Hooks hooks_;
    bool lastLoadFailed_ = false; ///< the last "-load" failed: figures print as nan
    bool anyLoadFailed_ = false;
    bool anyLoadTried_ = false; ///< a "-load" (or a bare file) has run
    bool nanPrinted_ = false;   ///< "-echohighpeak" printed a figure that is no number
    std::string lastLoadName_;  ///< the file of the last "-load"
    bool streamLoads_ = false;
    /** What the last streamed load gave, standing for the volume's voxels once Loaded. */
    struct Streamed
    {
        bool Loaded = false;
        float Figure = 0;
        int32_t Size[3] = {0, 0, 0};
    } streamed_;
};

/**
 * Runs the pass of `arguments`, a command line (without Qt's options) that ends at
 * "-exit", with no window and no Qt at all: on the starting volume, in the locale the
 * environment names (system messages in its language, as in a window run). An
 * exception that ends the pass (out of memory) is said on standard error, as
 * "volinspect: REASON", and gives the status 1. Returns the exit status of the pass;
 * output that could not be written is the caller's to turn into OutputFailedStatus.
 */
int RunClassicBatch(const std::vector<std::string>& arguments);
