#include "CommandLine.h"

#include "MessageText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include <sys/stat.h>

#ifndef VOLINSPECT_VERSION
#define VOLINSPECT_VERSION "unknown"
#endif

namespace CommandLine {

namespace {

// The options Qt 6 takes out of the arguments of a window run: QGuiApplication's
// (platform, window geometry, title and icon, plugins, session), QApplication's
// (style, style sheet, widget count) and those of the X11 platform (display, name,
// visual, grabs). Qt also accepts them with two dashes.
constexpr std::array<std::string_view, 17> QtOptionsWithValue = {
    "platformpluginpath",
    "platform",
    "platformtheme",
    "qwindowgeometry",
    "qwindowtitle",
    "qwindowicon",
    "plugin",
    "session",
    "style",
    "stylesheet",
    "qmljsdebugger",
    "display",
    "geometry",
    "title",
    "icon",
    "name",
    "visual",
};
constexpr std::array<std::string_view, 7> QtFlags = {
    "reverse", "testability", "widgetcount", "nograb", "dograb", "qdevel", "qdebug",
};
constexpr std::array<std::string_view, 3> QtOptionsWithJoinedValue = {
    "style=",
    "stylesheet=",
    "qmljsdebugger=",
};

/** The option's name without its one or two leading dashes, or empty. */
std::string_view OptionName(std::string_view word)
{
    if (word.size() < 2 || word[0] != '-') return {};
    word.remove_prefix(word[1] == '-' ? 2 : 1);
    return word;
}

template <size_t N>
bool Contains(const std::array<std::string_view, N>& list, std::string_view name)
{
    return std::find(list.begin(), list.end(), name) != list.end();
}

bool IsRegularFile(const std::string& name)
{
    struct stat st
    {
    };
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/** `text` whole as a finite number in the C locale ("1e3", "-0.5"); false otherwise. */
bool FiniteNumber(std::string_view text, double& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && std::isfinite(value);
}

/** `text` whole as a number of at least `least` that fits 32 bits; false otherwise. */
bool WholeNumber(std::string_view text, int32_t least, int32_t& value)
{
    int64_t wide = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, wide);
    if (error != std::errc() || stop != end || wide < least ||
        wide > std::numeric_limits<int32_t>::max())
        return false;
    value = int32_t(wide);
    return true;
}

/** `text` split at its commas. */
std::vector<std::string_view> CommaParts(std::string_view text)
{
    std::vector<std::string_view> parts;
    for (size_t at = 0;;) {
        const size_t comma = text.find(',', at);
        parts.push_back(text.substr(at, comma == std::string_view::npos ? comma : comma - at));
        if (comma == std::string_view::npos) return parts;
        at = comma + 1;
    }
}

/** Reads --scale-bar's LENGTH, a positive number followed at once by its unit. */
bool ScaleBarLength(std::string_view text, double& length, std::string& unit)
{
    // The longest start of the text that reads as a number, then the unit.
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, length);
    if (error != std::errc() || !std::isfinite(length) || !(length > 0)) return false;
    const std::string_view suffix(stop, size_t(end - stop));
    static constexpr std::pair<std::string_view, std::string_view> Units[] = {
        {"nm", "nm"}, {"um", "\xC2\xB5m"}, {"\xC2\xB5m", "\xC2\xB5m"}, {"\xCE\xBCm", "\xC2\xB5m"},
        {"mm", "mm"}, {"px", "px"},
    };
    for (const auto& [name, canonical] : Units)
        if (suffix == name) {
            unit = canonical;
            return true;
        }
    return false;
}

} // namespace

bool ParseExport(const std::vector<std::string>& args, ExportOptions& options, std::string& error)
{
    options = ExportOptions();
    for (const std::string& word : args) {
        if (word == "--") break;
        if (word == "-h" || word == "--help") options.Help = true;
        if (word == "--version") options.Version = true;
    }
    if (options.Help || options.Version) return true;

    std::vector<std::string> names;
    bool namesOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (namesOnly || word.empty() || word[0] != '-' || word == "-") {
            names.push_back(word);
            continue;
        }
        if (word == "--") {
            namesOnly = true;
            continue;
        }
        static constexpr std::string_view WithValue[] = {
            "--view", "--at", "--channel", "--frame", "--window", "--colormap", "--scale-bar",
        };
        if (std::find(std::begin(WithValue), std::end(WithValue), word) == std::end(WithValue)) {
            error = "unknown option " + InQuotes(word);
            return false;
        }
        if (i + 1 >= args.size()) {
            error = word + " needs a value after it";
            return false;
        }
        const std::string& value = args[++i];
        const std::string bad = "invalid " + word + " " + InQuotes(value) + ": ";
        if (word == "--view") {
            if (value == "xy")
                options.View = SlicePlane::Top;
            else if (value == "xz")
                options.View = SlicePlane::Front;
            else if (value == "zy")
                options.View = SlicePlane::Side;
            else {
                error = bad + "the views are xy, xz and zy";
                return false;
            }
        } else if (word == "--at") {
            const std::vector<std::string_view> parts = CommaParts(value);
            bool ok = parts.size() == 3;
            for (size_t d = 0; ok && d < 3; ++d)
                ok = WholeNumber(parts[d], 0, options.Position[d]);
            if (!ok) {
                error = bad + "it takes three voxel positions X,Y,Z counted from 0";
                return false;
            }
            options.HasPosition = true;
        } else if (word == "--channel" || word == "--frame") {
            if (!WholeNumber(value, 1, word == "--channel" ? options.Channel : options.Frame)) {
                error = bad + "it takes a whole number counted from 1";
                return false;
            }
        } else if (word == "--window") {
            const std::vector<std::string_view> parts = CommaParts(value);
            if (parts.size() != 2 || !FiniteNumber(parts[0], options.WindowMin) ||
                !FiniteNumber(parts[1], options.WindowMax) ||
                options.WindowMin == options.WindowMax) {
                error = bad + "it takes two different numbers MIN,MAX";
                return false;
            }
            options.HasWindow = true;
        } else if (word == "--colormap") {
            if (!ParseColourMap(value, options.Map, options.ChannelColour)) {
                std::string known;
                for (const std::string& name : ColourMapNames())
                    known += (known.empty() ? "" : ", ") + name;
                error = bad + "the colour maps are " + known;
                return false;
            }
        } else if (!ScaleBarLength(value, options.ScaleBar, options.ScaleBarUnit)) {
            error = bad + "it takes a positive length followed by nm, um, mm or px (500nm)";
            return false;
        }
    }
    if (names.size() < 2) {
        error = names.empty() ? "no volume file and no picture to write"
                              : "no picture to write after " + InQuotes(names[0]);
        return false;
    }
    if (names.size() > 2) {
        error = "one volume file and one picture only, not also " + InQuotes(names[2]);
        return false;
    }
    options.File = names[0];
    options.Output = names[1];
    if (options.File.empty() || options.Output.empty()) {
        error = "an empty file name";
        return false;
    }
    return true;
}

std::vector<std::string> WithoutQtOptions(const std::vector<std::string>& args)
{
    std::vector<std::string> kept;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = OptionName(args[i]);
        if (Contains(QtOptionsWithValue, name)) {
            ++i; // its value goes with it (if there is one)
            continue;
        }
        if (Contains(QtFlags, name)) continue;
        if (std::any_of(
                QtOptionsWithJoinedValue.begin(), QtOptionsWithJoinedValue.end(),
                [&](std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; }))
            continue;
        kept.push_back(args[i]);
    }
    return kept;
}

bool ChoosesQtPlatform(const std::vector<std::string>& args)
{
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (OptionName(args[i]) == "platform") return true;
    return false;
}

bool Walk(const std::vector<std::string>& args, const Actions& act)
{
    const auto notUsed = [&](size_t index, Unused why) {
        if (act.NotUsed) act.NotUsed(index, why);
    };
    for (size_t i = 0; i < args.size(); ++i) {
        bool used = false;
        // "-load" and "-echo" take the next word, which the later tests then see.
        const auto takeArgument = [&](const std::function<void(const std::string&)>& action) {
            used = true;
            if (i + 1 >= args.size()) {
                notUsed(i, Unused::MissingArgument);
                return false;
            }
            ++i;
            if (action) action(args[i]);
            return true;
        };
        if (args[i] == "-exit") {
            for (size_t rest = i + 1; rest < args.size(); ++rest)
                notUsed(rest, Unused::AfterExit);
            return true;
        }
        if (args[i] == "-load" && !takeArgument(act.Load)) return false;
        if (args[i] == "-echohighpeak") {
            used = true;
            if (act.EchoHighPeak) act.EchoHighPeak();
        }
        if (args[i] == "-echo" && !takeArgument(act.Echo)) return false;
        if (args[i] == "-echonewline") {
            used = true;
            if (act.EchoNewLine) act.EchoNewLine();
        }
        if (!used) {
            // A word no option took: a file to load, or something to warn about.
            if (args[i].empty())
                notUsed(i, Unused::Empty);
            else if (args[i][0] == '-')
                notUsed(i, Unused::UnknownOption);
            else if (IsRegularFile(args[i])) {
                if (act.Load) act.Load(args[i]);
            } else
                notUsed(i, Unused::NotAFile);
        }
        if (act.Stop && act.Stop()) return true;
    }
    return false;
}

std::string UnusedWarning(const std::string& word, Unused why)
{
    std::string quoted(1, '\'');
    quoted += QuoteShortened(word); // (appended: GCC 12 warns falsely about "'" + string)
    quoted += '\'';
    switch (why) {
    case Unused::UnknownOption:
        return "ignoring unknown option " + quoted + " (see --help)";
    case Unused::Empty:
        return "ignoring an empty argument";
    case Unused::MissingArgument:
        return "ignoring " + quoted + " at the end: it needs " +
               (word == "-load" ? "a file name" : "a text") + " after it";
    case Unused::AfterExit:
        return "ignoring " + quoted + " after -exit";
    case Unused::NotAFile: {
        struct stat st
        {
        };
        const bool exists = ::stat(word.c_str(), &st) == 0;
        return "ignoring " + quoted + ": " +
               (!exists               ? "no such file or option"
                : S_ISDIR(st.st_mode) ? "it is a folder, not a volume file"
                                      : "it is not a regular file");
    }
    }
    return {};
}

Request InfoRequest(const std::vector<std::string>& args)
{
    Request request = Request::Run;
    Actions act;
    act.NotUsed = [&](size_t index, Unused) {
        if (request != Request::Run) return;
        if (args[index] == "-h" || args[index] == "--help")
            request = Request::Help;
        else if (args[index] == "--version")
            request = Request::Version;
    };
    Walk(args, act);
    return request;
}

std::string VersionText()
{
    return "volinspect " VOLINSPECT_VERSION "\n";
}

std::string UsageText()
{
    return R"(Usage: volinspect [FILE] [OPTION...]
       volinspect --figures [--jobs N] [--csv] [--] FILE...
       volinspect --figures [--jobs N] [--csv] -
       volinspect --inspect [FILE]
       volinspect --export FILE OUT.png [--view xy|xz|zy] [--at X,Y,Z]
                  [--channel N] [--frame N] [--window MIN,MAX] [--colormap NAME]
                  [--scale-bar LENGTH]
       volinspect -h | --help | --version

Shows three orthogonal slices of a volume of 8-bit voxels and the high-frequency
figure of its lag-difference spectrum along X. The options are carried out in the
order they stand, while the window is made; a run that ends at -exit does its work
without ever showing the window, and needs no display. --inspect opens the
inspector instead: zoomable slices with a crosshair, voxel values, a contrast
window and 16-bit, 32-bit and float samples shown as they are (Ctrl+I opens it from
the classic window).

Options:
  -load FILE      load the volume FILE
  -echohighpeak   compute the whole-volume spectrum and print its figure: three
                  decimals after a decimal point whatever the locale, no line end;
                  "nan" when there is none (a failed load, a volume narrower
                  than 10 voxels)
  -echo TEXT      print TEXT as it stands
  -echonewline    print a line end
  -exit           end the program here; the window is never shown
  FILE            a word that is no option and names an existing file loads it
                  as -load does
  -h, --help      print this text and end
  --version       print the version and end

Each word in turn is compared with the options in the order above, exactly (-EXIT
is no option). After -load or -echo has taken the next word, that word is compared
too: "-echo -echonewline" prints the text "-echonewline" and then a line end.
Options placed after -exit are not carried out. Every word not used is reported on
standard error, and so is every file that fails to load; the figure then prints as
"nan" until the next successful load. Qt's own options (-platform, -display,
-style ...) apply to the window only.

Files (the content decides, not the name):
  ICS             version 1 (NAME.ics with NAME.ids, also gzip-compressed) and
                  version 2 (data in the same file or a named one), read through
                  libics; 3-D images only. 8-bit samples are the voxels; 16- and
                  24-bit samples give their top 8 significant bits; 32-bit and
                  wider integers give bits 24 to 29 times 4; floating-point samples
                  are mapped linearly from their finite range onto 0 to 255.
  raw volume      three little-endian signed 32-bit sizes X, Y, Z, then X*Y*Z
                  voxel bytes, X fastest, then Y, then Z.
  Picture files (TIFF, PNG, JPEG, BMP) are refused.

Exit status:
  0  the options were carried out (warnings about unused words included)
  1  a load failed, or a figure that was printed is not a number, or the run
     ran out of memory ("volinspect: Out of memory.")
  2  the window was to open, but there is no display (runs ending at -exit
     need none)
  3  the output could not be written (a full disk, a closed standard output):
     the run stops at the first failed write, saying
     "volinspect: cannot write the output: REASON"; in every mode, --help and
     --version included. A pipe closed by its reader (| head) ends the run by
     SIGPIPE, as it ends other programs.

Table mode (--figures, only as the first argument): the figures of many files,
computed on N threads (--jobs N; default the number of cores), one volume per
thread in memory at a time; when the system lets fewer threads start, a warning
says how many and the run goes on with them. "-" reads the names from standard
input, one a line, as bytes (empty lines skipped, a trailing CR dropped), for
lists too long for a command line; "--" ends the options; -h, --help and
--version print the usage or the version. Standard output gets a header line
of eight names separated by tabs,
  file figure size_x size_y size_z channel frame message
and then a line per file in the order given: the name, the figure with 9
significant digits ("nan" when there is none), the sizes (empty when the load
failed), the volume's channel and frame in its file (0 0), and a message: why
there is no figure, else the load's warnings, else nothing. In the name and the
message a backslash is written \\, a tab \t, a line feed \n, a carriage return
\r, other control characters and bytes that are not UTF-8 \xHH; nothing is
quoted (Python: csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE), then
undo the escapes). A name from standard input that holds a NUL byte is not
loaded: its line says so. Each line is written as soon as it is known.
--csv writes an RFC 4180 table instead (commas; fields with a comma, a quote or
a line break in double quotes, quotes doubled; LF line ends): CSV readers give
back names as they are, except that control characters and bytes that are not
UTF-8 are written \xHH, and a backslash that would read as one \x5c.
Standard error names every file that fails or has no figure, and each warning;
on a terminal it also shows the progress. Exit status 0 when every file gave a
figure, 1 otherwise, 2 for a usage error (no files, --jobs not a positive number,
names mixed with "-") or when not one thread can start, 3 when the table could
not be written. The table mode needs no display and never opens a window.
  volinspect --figures --jobs 4 *.ics > figures.tsv
  find data -name '*.ics' | volinspect --figures - > figures.tsv
  volinspect --figures --csv *.ics > figures.csv

Figure export (--export, only as the first argument): writes one slice of FILE
as a PNG picture, with no display and no window. The slice is drawn at its
voxels' proportions (the smaller spacing of its two axes is the pixel size),
through a contrast window and a colour map, as the inspector shows it.
  --view xy|xz|zy     the top (X-Y, default), front (X-Z) or side (Z-Y) slice
  --at X,Y,Z          the voxel the slice goes through, counted from 0;
                      default the middle of each axis (size / 2, rounded down)
  --channel N         the channel, counted from 1 (default 1)
  --frame N           the time point, counted from 1 (default 1)
  --window MIN,MAX    the sample values shown as black and white (MIN above MAX
                      inverts); default the 0.1 and 99.9 percentiles of the
                      channel at that time point, as the inspector's Auto (of a
                      sample of planes for a file larger than memory); 8-bit data
                      are shown 0 to 255 as they are
  --colormap NAME     grey (default), inverted, viridis, magma, fire, hilo (grey,
                      with 0 blue and 255 red), or a channel colour: red, green,
                      blue, cyan, magenta, yellow
  --scale-bar LENGTH  a scale bar in the lower right corner: a number followed by
                      nm, um (or µm), mm or px (voxels of the smaller spacing),
                      e.g. 10um, 500nm, 50px; labelled with the length as given
                      ("500 nm"). A length in nm, um or mm needs a file that gives
                      its voxel size in such a unit.
A file larger than memory is read from the file: only the slice's plane, or a
row or a column of every plane. Exit status 0 when the picture was written, 1
when FILE failed to load ("volinspect: cannot load 'FILE': REASON"), 2 for a
usage error (an unknown option or value, a position, channel or frame beyond
the volume, a physical scale bar for a file without units), 3 when the picture
could not be written.
  volinspect --export cells.tif cells.png --view xz --colormap magma --scale-bar 10um

Example: the figures of many files from one process, a line "FILE FIGURE" each:
  args=()
  for f in *.ics; do
    args+=(-echo "$f" -echo " " -load "$f" -echohighpeak -echonewline)
  done
  volinspect "${args[@]}" -exit > figures.txt
)";
}

} // namespace CommandLine
