#pragma once

#include "ColourMap.h"
#include "SliceModel.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/**
 * The command line of the volume inspector: five options read in order while the
 * window is created,
 *
 *   -load FILE      load a volume            -echo TEXT     print TEXT
 *   -echohighpeak   print the figure         -echonewline   print a line end
 *   -exit           end the program; the window is never shown
 *
 * compared exactly. Each turn of the pass tests the word in hand against every
 * option in that order, so after "-load" or "-echo" has taken its argument the later
 * tests of the same turn see that argument ("-echo -echonewline" prints the text
 * "-echonewline" and then a line end).
 *
 * A word that is no option, is not taken as an argument and names an existing
 * regular file loads it as "-load" would. Every other word the pass does not use is
 * reported to the Unused action: unknown words, empty ones, an option without its
 * argument, and the words after "-exit".
 *
 * Qt's own options (-platform NAME, -display NAME, -style NAME, -reverse …) belong
 * to the window; they are taken out before the pass in every run, as QApplication
 * takes them out of a window run.
 */
namespace CommandLine {

/** Why a word was not used. */
enum class Unused
{
    UnknownOption,   ///< starts with '-' and is none of the options
    Empty,           ///< an empty string
    MissingArgument, ///< "-load" or "-echo" as the last word
    AfterExit,       ///< after the "-exit" that ends the pass
    NotAFile,        ///< a bare word that names no regular file (missing, a folder …)
};

struct Actions
{
    std::function<void(const std::string& fileName)> Load;
    std::function<void()> EchoHighPeak;
    std::function<void(const std::string& text)> Echo;
    std::function<void()> EchoNewLine;
    /** The word at `index` of the arguments was not used, for `why`. */
    std::function<void(size_t index, Unused why)> NotUsed;
    /** Asked after each word; true ends the pass there (the output cannot be written). */
    std::function<bool()> Stop;
};

/**
 * Walks `args` (without Qt's options) calling `actions`; empty actions do nothing.
 * Returns true when the pass ends at "-exit" or is stopped, so that the window is not to
 * be shown.
 */
bool Walk(const std::vector<std::string>& args, const Actions& actions);

/** `args` without Qt's own options and their values, in the order they stood. */
std::vector<std::string> WithoutQtOptions(const std::vector<std::string>& args);

/** True when `args` choose a Qt platform themselves ("-platform NAME"). */
bool ChoosesQtPlatform(const std::vector<std::string>& args);

/** The warning for an unused word, without the program's name. */
std::string UnusedWarning(const std::string& word, Unused why);

/** What the arguments ask for before anything else runs. */
enum class Request
{
    Run,
    Help,
    Version
};

/** Help or Version when the pass leaves "-h", "--help" or "--version" unused. */
Request InfoRequest(const std::vector<std::string>& args);

/**
 * What `volinspect --export FILE OUT.png [OPTION...]` asks for: the figure of one slice
 * of FILE, written as a PNG picture (the program's ui/FigureExport carries it out).
 */
struct ExportOptions
{
    std::string File;                  ///< the volume file
    std::string Output;                ///< the picture to write
    SlicePlane View = SlicePlane::Top; ///< --view xy (Top), xz (Front) or zy (Side)
    bool HasPosition = false;          ///< --at was given; else the middle of each axis
    int32_t Position[3] = {0, 0, 0};   ///< --at X,Y,Z, voxels counted from 0
    int32_t Channel = 1;               ///< --channel N, counted from 1
    int32_t Frame = 1;                 ///< --frame N (the time point), counted from 1
    bool HasWindow = false;            ///< --window was given; else the automatic window
    double WindowMin = 0, WindowMax = 255;
    ColourMap Map = ColourMap::Grey; ///< --colormap NAME
    uint32_t ChannelColour = 0xFFFFFF;
    double ScaleBar = 0;      ///< --scale-bar LENGTH: the number; 0 for no bar
    std::string ScaleBarUnit; ///< its unit: "nm", "µm" (also for "um"), "mm" or "px"
    bool Help = false;        ///< -h or --help among the words
    bool Version = false;     ///< --version among the words
};

/**
 * Reads the words after "--export": two names (FILE and OUT, in that order) and the
 * options, in any order, each followed by its value as the next word; a later option
 * overrides an earlier one, and "--" makes every word after it a name. Values: --view
 * xy, xz or zy; --at three whole numbers of at least 0, "X,Y,Z"; --channel and --frame a
 * whole number of at least 1; --window two finite numbers that differ, "MIN,MAX" (MIN
 * above MAX inverts the picture); --colormap a name ParseColourMap knows; --scale-bar a
 * positive number followed at once by nm, um, µm, mm or px ("500nm"). Numbers are read
 * in the C locale. False with the reason in `error` (a usage error) otherwise. "-h",
 * "--help" and "--version" set Help or Version, and then nothing else is checked.
 */
bool ParseExport(const std::vector<std::string>& args, ExportOptions& options, std::string& error);

/** The usage text printed by --help. */
std::string UsageText();

/** The line printed by --version. */
std::string VersionText();

} // namespace CommandLine
