#include "FigureTable.h"

#include "ByteVolume.h"
#include "CommandLine.h"
#include "MessageText.h"
#include "Spectrum.h"
#include "StreamFigure.h"
#include "VolumeReader.h"
#include "imgkernel.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <malloc.h>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

const char* const FigureTableHeader =
    "file\tfigure\tsize_x\tsize_y\tsize_z\tchannel\tframe\tmessage\n";
const char* const FigureCsvHeader = "file,figure,size_x,size_y,size_z,channel,frame,message\n";

namespace {

using Clock = std::chrono::steady_clock;

/** The figure of one channel at one time point. */
struct VolumeFigure
{
    float figure = NAN;
    int32_t channel = 0, frame = 0;
    std::string warning; ///< what the load or the 8-bit reduction warned of
    std::string failure; ///< why this volume has no 8-bit voxels (no finite sample)
    std::string unread;  ///< why this volume's samples could not all be read
};

/** What became of one file. */
struct Row
{
    bool done = false;
    bool loaded = false;
    int32_t size[3] = {0, 0, 0};
    int32_t channels = 1, frames = 1;
    std::string failure;               ///< why the load failed
    std::vector<VolumeFigure> volumes; ///< time point by time point, channel by channel
};

/** "channel 2 of 3, time point 1 of 5", counted from 1, naming only axes of several. */
std::string VolumeText(const Row& row, const VolumeFigure& volume)
{
    std::string text;
    if (row.channels > 1)
        text =
            "channel " + std::to_string(volume.channel + 1) + " of " + std::to_string(row.channels);
    if (row.frames > 1) {
        if (!text.empty()) text += ", ";
        text +=
            "time point " + std::to_string(volume.frame + 1) + " of " + std::to_string(row.frames);
    }
    return text;
}

/**
 * The rows of `name`, read from `line` of the list (0: given as an argument). The file is
 * read plane by plane on `threads` threads, whatever its size: only a few planes a thread
 * are held, never a volume.
 */
Row Compute(const std::string& name, size_t line, unsigned threads)
{
    Row row;
    if (name.find('\0') != std::string::npos) {
        // The system would open the name up to its first NUL: another file.
        row.failure =
            "the name on line " + std::to_string(line) + " of standard input holds a NUL byte";
        return row;
    }
    try {
        std::unique_ptr<PlaneSource> source;
        VolumeReadResult read = OpenStackSource(name, source);
        if (!read.Loaded()) {
            row.failure = std::move(read.Message);
            return row;
        }
        const StackLayout& layout = source->Layout();
        row.loaded = true;
        row.size[0] = layout.SizeX, row.size[1] = layout.SizeY, row.size[2] = layout.SizeZ;
        row.channels = layout.Channels, row.frames = layout.Frames;
        for (int32_t t = 0; t < layout.Frames; ++t)
            for (int32_t c = 0; c < layout.Channels; ++c) {
                VolumeFigure figure;
                figure.channel = c, figure.frame = t;
                StreamedFigure streamed = StreamHighFrequencyFigure(*source, c, t, threads);
                figure.figure = streamed.Figure;
                figure.warning = std::move(streamed.Warning);
                (streamed.ReadFailed ? figure.unread : figure.failure) =
                    std::move(streamed.Failure);
                if (!read.Message.empty())
                    figure.warning += (figure.warning.empty() ? "" : "; ") + read.Message;
                row.volumes.push_back(std::move(figure));
            }
    } catch (const std::exception& error) {
        row = Row();
        row.failure = error.what();
    }
    return row;
}

/** The usage error `reason`, said on `err`; the status 2. */
int UsageError(std::FILE* err, const std::string& reason)
{
    std::fprintf(err, "volinspect: --figures: %s (see --help)\n", reason.c_str());
    return 2;
}

/** `text` as a positive number of jobs, or 0. */
int JobCount(const std::string& text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0 ? value : 0;
}

/**
 * The names on `in`, one a line, as bytes (NUL bytes kept), with the number of the line
 * each stands on: empty lines skipped, a trailing CR dropped.
 */
void ReadNames(std::FILE* in, std::vector<std::string>& names, std::vector<size_t>& lines)
{
    char* buffer = nullptr;
    size_t capacity = 0;
    size_t number = 0;
    for (ssize_t n; (n = getline(&buffer, &capacity, in)) > 0;) {
        ++number;
        std::string_view line(buffer, size_t(n));
        if (line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        names.emplace_back(line);
        lines.push_back(number);
    }
    std::free(buffer);
}

/** The table's line for `name`'s `volume`, in tab-separated or CSV form. */
void AppendLine(std::string& line, bool csv, const std::string& name, const Row& row,
                const VolumeFigure& volume, const std::string& message)
{
    const char separator = csv ? ',' : '\t';
    const auto cell = csv ? AppendCsvField : AppendTableCell;
    cell(line, name);
    line += separator;
    line += std::isnan(volume.figure) ? std::string("nan") : FormatC("%.9g", double(volume.figure));
    for (int32_t size : row.size) {
        line += separator;
        if (row.loaded) line += std::to_string(size);
    }
    line += separator;
    line += std::to_string(volume.channel);
    line += separator;
    line += std::to_string(volume.frame);
    line += separator;
    cell(line, message);
    line += '\n';
}

std::string Duration(double seconds)
{
    const long s = long(std::lround(std::max(seconds, 0.0)));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

/** The progress line on a terminal: written at most ten times a second, cleared at the end. */
class Progress
{
public:
    Progress(std::FILE* err, bool on, size_t total) : err_(err), on_(on), total_(total) {}

    void Update(size_t done, int64_t bytes)
    {
        if (!on_) return;
        const Clock::time_point now = Clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? double(bytes) / 1e6 / seconds : 0;
        const std::string left =
            done > 0 ? Duration(seconds / double(done) * double(total_ - done)) : "?";
        std::fprintf(err_, "\r\033[K%zu of %zu files, %.1f MB/s, %s left", done, total_, rate,
                     left.c_str());
        std::fflush(err_);
    }
    /** Takes the line away before a message or at the end. */
    void Clear()
    {
        if (!shown_) return;
        std::fputs("\r\033[K", err_);
        shown_ = false;
    }

private:
    std::FILE* err_;
    bool on_;
    size_t total_;
    bool shown_ = false;
    Clock::time_point start_ = Clock::now(), last_;
};

} // namespace

int RunFigureTable(const std::vector<std::string>& args, const FigureTableStreams& io)
{
    // Help and the version come before anything else, as in the other modes; the value
    // of --jobs and the words after "--" are no options.
    for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (args[i] == "--jobs")
            ++i;
        else if (args[i] == "-h" || args[i] == "--help" || args[i] == "--version") {
            const std::string text =
                args[i] == "--version" ? CommandLine::VersionText() : CommandLine::UsageText();
            return CheckedOutput(io.out, io.err).Write(text) ? 0 : OutputFailedStatus;
        }
    }

    int jobs = 0;
    bool fromInput = false, options = true, csv = false;
    std::vector<std::string> names;
    std::vector<size_t> lines; // of standard input, for each name read from there
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (options && word == "--") {
            options = false;
        } else if (options && (word == "--jobs" || word.rfind("--jobs=", 0) == 0)) {
            const bool joined = word.size() > 6;
            if (!joined && i + 1 == args.size()) return UsageError(io.err, "--jobs needs a number");
            const std::string value = joined ? word.substr(7) : args[++i];
            jobs = JobCount(value);
            if (jobs == 0)
                return UsageError(io.err, "--jobs takes a positive number, not " + InQuotes(value));
        } else if (options && word == "--csv") {
            csv = true;
        } else if (options && word == "-") {
            fromInput = true;
        } else if (options && word.size() > 1 && word[0] == '-') {
            return UsageError(io.err, "unknown option " + InQuotes(word));
        } else {
            names.push_back(word);
        }
    }
    if (fromInput && !names.empty())
        return UsageError(io.err,
                          "give file names or \"-\" for a list on standard input, not both");
    if (!fromInput && names.empty()) return UsageError(io.err, "no files given");
    if (fromInput) ReadNames(io.in, names, lines);
    lines.resize(names.size());
    if (jobs == 0) jobs = int(ProcessorCores());
    jobs = int(std::min<size_t>(size_t(jobs), std::max<size_t>(names.size(), 1)));

    // Buffers of up to 32 MiB (planes, volumes of files read whole) come from the
    // allocator's heaps and are reused file after file: mapping and unmapping each one
    // would fault in every page again and make the kernel stop the other workers'
    // processors to flush their address translations.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);

    // Workers take the files in order, each reading its file plane by plane on its share
    // of the cores; this thread writes the lines in the order given as soon as each is
    // known.
    const unsigned threads = std::max(1u, ProcessorCores() / unsigned(jobs));
    std::vector<Row> rows(names.size());
    std::mutex mutex;
    std::condition_variable ready;
    size_t next = 0;
    const auto work = [&] {
        for (;;) {
            size_t i;
            {
                const std::lock_guard lock(mutex);
                if (next == names.size()) return;
                i = next++;
            }
            Row row = Compute(names[i], lines[i], threads);
            {
                const std::lock_guard lock(mutex);
                rows[i] = std::move(row);
                rows[i].done = true;
            }
            ready.notify_all();
        }
    };
    // The system may refuse threads (address space, thread limits): the table goes on
    // with those that started.
    std::vector<std::thread> workers;
    workers.reserve(size_t(jobs));
    std::string refusal;
    for (int j = 0; j < jobs; ++j) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error& error) {
            refusal = error.code().message();
            break;
        }
    }
    if (workers.empty()) {
        std::fprintf(io.err,
                     "volinspect: --figures: the system refuses to start a worker "
                     "thread (%s)\n",
                     refusal.c_str());
        return 2;
    }
    if (int(workers.size()) < jobs)
        std::fprintf(io.err,
                     "volinspect: warning: --figures: only %zu of %d worker threads could start "
                     "(%s); going on with %zu\n",
                     workers.size(), jobs, refusal.c_str(), workers.size());
    const auto stopWorkers = [&] {
        {
            const std::lock_guard lock(mutex);
            next = names.size();
        }
        for (std::thread& worker : workers)
            worker.join();
    };

    Progress progress(io.err, io.progress, names.size());
    CheckedOutput out(io.out, io.err, [&] { progress.Clear(); });
    if (!out.Write(csv ? FigureCsvHeader : FigureTableHeader)) {
        stopWorkers();
        return OutputFailedStatus;
    }
    int status = 0;
    int64_t bytes = 0;
    std::string line, message;
    for (size_t i = 0; i < names.size(); ++i) {
        Row row;
        {
            std::unique_lock lock(mutex);
            while (!rows[i].done) {
                ready.wait_for(lock, std::chrono::milliseconds(100));
                lock.unlock();
                progress.Update(i, bytes);
                lock.lock();
            }
            row = std::move(rows[i]);
        }
        const std::string& name = names[i];
        // A file that did not load has one line, of channel 0 and frame 0.
        if (!row.loaded) row.volumes.assign(1, VolumeFigure());
        for (const VolumeFigure& volume : row.volumes) {
            // The message cell: why there is no figure, else what the load warned of.
            const std::string which = VolumeText(row, volume);
            const std::string subject =
                which.empty() ? InQuotes(name) : InQuotes(name) + " " + which;
            message.clear();
            if (!row.loaded)
                message = "cannot load: " + row.failure;
            else if (!volume.unread.empty())
                message = "cannot read: " + volume.unread;
            else if (!volume.failure.empty())
                message = "no 8-bit voxels: " + volume.failure;
            else if (std::isnan(volume.figure))
                message = NoFigureReason(row.size[0], row.size[1], row.size[2]);
            else if (!volume.warning.empty())
                message = "warning: " + volume.warning;
            line.clear();
            AppendLine(line, csv, name, row, volume, message);
            if (!out.Write(line)) {
                stopWorkers();
                return OutputFailedStatus;
            }

            std::string said;
            if (!row.loaded)
                said = "cannot load " + InQuotes(name) + ": " + QuoteBytes(row.failure);
            else if (!volume.unread.empty())
                said = "cannot read " + subject + ": " + QuoteBytes(volume.unread);
            else if (!volume.failure.empty())
                said = subject + ": " + QuoteBytes(volume.failure);
            else if (std::isnan(volume.figure))
                said = subject + ' ' + NoFigurePredicate(row.size[0], row.size[1], row.size[2]);
            const bool warned = row.loaded && volume.failure.empty() && volume.unread.empty() &&
                                !volume.warning.empty();
            if (warned || !said.empty()) progress.Clear();
            if (warned)
                std::fprintf(io.err, "volinspect: warning: %s: %s\n", subject.c_str(),
                             QuoteBytes(volume.warning).c_str());
            if (!said.empty()) {
                std::fprintf(io.err, "volinspect: %s\n", said.c_str());
                status = 1;
            }
        }
        bytes += int64_t(row.size[0]) * row.size[1] * row.size[2] * int64_t(row.volumes.size());
        progress.Update(i + 1, bytes);
    }
    for (std::thread& worker : workers)
        worker.join();
    progress.Clear();
    std::fflush(io.err);
    return status;
}
