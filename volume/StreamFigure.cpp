#include "StreamFigure.h"

#include "Spectrum.h"
#include "StackBytes.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

/** A plane's results, kept until the planes before it have been added. */
struct Slot
{
    std::vector<float> terms;
    ReductionNotes notes;
    bool done = false;
};

/** Reads plane z and fills its slot; false with the reason to stop everything. */
using PlaneWork = std::function<bool(int64_t z, Slot& slot, std::string& error)>;

/**
 * Runs a PlaneWork over planes 0 … planes − 1 of a volume on `threads` threads and hands
 * each plane's slot to `take` in plane order, on this thread, which works too while the
 * plane it waits for is not done. A plane at most 2 × threads ahead of the last one taken
 * is worked on.
 */
class PlanePipeline
{
public:
    PlanePipeline(int64_t planes, unsigned threads, size_t terms)
        : planes_(planes), slots_(planes > 0 ? std::max<size_t>(2 * threads, 2) : 0),
          threads_(std::max(threads, 1u))
    {
        for (Slot& slot : slots_)
            slot.terms.resize(terms);
    }

    bool Run(const PlaneWork& work, const std::function<void(int64_t, Slot&)>& take,
             std::string& failure)
    {
        const auto worker = [&] {
            for (int64_t z; (z = NextPlane(true)) >= 0;)
                WorkOn(z, work);
        };
        std::vector<std::thread> workers;
        for (unsigned i = 1; i < threads_; ++i) {
            try {
                workers.emplace_back(worker);
            } catch (const std::system_error&) {
                break; // the threads that started do the work
            }
        }
        for (int64_t z = 0; z < planes_; ++z) {
            Slot& slot = slots_[size_t(z) % slots_.size()];
            for (;;) {
                std::unique_lock lock(mutex_);
                if (stop_ || slot.done) break;
                if (!CanStart()) {
                    changed_.wait(lock, [&] { return stop_ || slot.done; });
                    continue;
                }
                lock.unlock();
                if (const int64_t mine = NextPlane(false); mine >= 0) WorkOn(mine, work);
            }
            {
                const std::lock_guard lock(mutex_);
                if (stop_) break;
            }
            take(z, slot);
            {
                const std::lock_guard lock(mutex_);
                slot.done = false;
                ++taken_;
            }
            changed_.notify_all();
        }
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : workers)
            thread.join();
        // An exception (memory running out) stopped every thread; it goes on from here.
        if (exception_) std::rethrow_exception(exception_);
        failure = failure_;
        return failure_.empty();
    }

private:
    /** True when the next plane may be started; under the lock. */
    bool CanStart() const { return next_ < planes_ && next_ < taken_ + int64_t(slots_.size()); }

    /**
     * Takes the next plane to work on: waiting until one may be started (`wait`), else
     * only if one may be started now; −1 when there is none.
     */
    int64_t NextPlane(bool wait)
    {
        std::unique_lock lock(mutex_);
        if (wait) changed_.wait(lock, [&] { return stop_ || next_ == planes_ || CanStart(); });
        if (stop_ || !CanStart()) return -1;
        return next_++;
    }

    /** Works on plane z and marks its slot done; a failure stops every thread. */
    void WorkOn(int64_t z, const PlaneWork& work)
    {
        Slot& slot = slots_[size_t(z) % slots_.size()];
        slot.notes = ReductionNotes();
        std::string error;
        bool ok = false;
        try {
            ok = work(z, slot, error);
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!exception_) exception_ = std::current_exception();
            error = "stopped";
        }
        {
            const std::lock_guard lock(mutex_);
            if (!ok && !stop_) {
                stop_ = true;
                failure_ = std::move(error);
            }
            slot.done = true;
        }
        changed_.notify_all();
    }

    int64_t planes_;
    std::vector<Slot> slots_;
    unsigned threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t next_ = 0, taken_ = 0;
    bool stop_ = false;
    std::string failure_;
    std::exception_ptr exception_;
};

/** A thread's buffers: a plane of samples, one of voxels, and the figure's work space. */
struct ThreadBuffers
{
    std::vector<uint8_t> samples, voxels, work;
};

ThreadBuffers& Buffers(int64_t sampleBytes, int64_t voxelBytes, size_t workBytes)
{
    thread_local ThreadBuffers buffers;
    if (buffers.samples.size() < size_t(sampleBytes)) buffers.samples.resize(size_t(sampleBytes));
    if (buffers.voxels.size() < size_t(voxelBytes)) buffers.voxels.resize(size_t(voxelBytes));
    if (buffers.work.size() < workBytes) buffers.work.resize(workBytes);
    return buffers;
}

} // namespace

StreamedFigure StreamHighFrequencyFigure(PlaneSource& source, int c, int t, unsigned threads)
{
    const StackLayout& layout = source.Layout();
    StreamedFigure result;
    result.Figure = std::numeric_limits<float>::quiet_NaN();
    const int64_t planes = layout.VoxelCount() == 0 ? 0 : layout.SizeZ;
    const bool oneByte = SampleKindBytes(layout.Kind) == 1;
    // Small volumes are measured on this thread alone: starting another costs more. A
    // stream gives one plane at a time anyway.
    constexpr int64_t ParallelVoxels = int64_t(1) << 22;
    if (!source.RandomAccess() || layout.VoxelCount() < ParallelVoxels) threads = 1;
    ByteReduction reduction(layout);
    FigureStream stream(layout.SizeX, layout.SizeY);
    std::mutex readMutex; // a stream gives its planes in order, one at a time

    // Reads plane z and notes its range (`rangeOnly`) or measures it, into `slot`: in runs
    // of rows that stay in the processor's cache from their reading to their measuring,
    // where the source reads rows alone; else whole, and then measured in such runs.
    constexpr int64_t RunBytes = 128 << 10;
    const int64_t rowBytes = source.RowBytes();
    const bool byRuns = source.ReadsRows();
    const int64_t runRows = std::clamp<int64_t>(RunBytes / std::max<int64_t>(rowBytes, 1), 1,
                                                std::max(layout.SizeY, 1));
    // Volumes narrower than 10 voxels have no figure: their planes are only reduced, for
    // the reduction's warning.
    const bool measured = stream.TermCount() > 0;
    const auto measure = [&](int64_t z, Slot& slot, bool rangeOnly, std::string& error) {
        ThreadBuffers& buffers = Buffers(byRuns ? runRows * rowBytes : source.PlaneBytes(),
                                         oneByte || rangeOnly ? 0 : runRows * layout.SizeX,
                                         rangeOnly ? 0 : stream.WorkBytes());
        uint8_t* samples = buffers.samples.data();
        if (source.RandomAccess() && source.ZeroPlane(c, t, z)) {
            // A plane of zeros, known without reading it: its rows are all alike, so one
            // zero row's notes and terms are every row's.
            std::fill_n(samples, rowBytes, uint8_t(0));
            ReductionNotes row;
            const size_t count = size_t(layout.SizeX);
            if (rangeOnly) {
                reduction.NoteRange(samples, count, row);
            } else {
                const uint8_t* voxels = samples;
                if (!oneByte) {
                    reduction.Reduce(samples, count, buffers.voxels.data(), row);
                    voxels = buffers.voxels.data();
                }
                if (measured) {
                    stream.RowTerms(voxels, 1, slot.terms.data(), buffers.work.data());
                    for (int64_t y = 1; y < layout.SizeY; ++y)
                        std::copy_n(slot.terms.data(), 5, slot.terms.data() + 5 * y);
                }
            }
            for (int64_t y = 0; y < layout.SizeY; ++y)
                slot.notes.Merge(row);
            return true;
        }
        if (!byRuns) {
            std::unique_lock lock(readMutex, std::defer_lock);
            if (!source.RandomAccess()) lock.lock();
            if (!source.ReadPlane(c, t, z, samples, error)) return false;
        }
        for (int64_t y0 = 0; y0 < layout.SizeY; y0 += runRows) {
            const int64_t rows = std::min(runRows, layout.SizeY - y0);
            const uint8_t* run = samples + (byRuns ? 0 : y0 * rowBytes);
            if (byRuns && !source.ReadRows(c, t, z, y0, y0 + rows, samples, error)) return false;
            const size_t count = size_t(rows * layout.SizeX);
            if (rangeOnly) {
                reduction.NoteRange(run, count, slot.notes);
                continue;
            }
            const uint8_t* voxels = run;
            if (!oneByte) {
                reduction.Reduce(run, count, buffers.voxels.data(), slot.notes);
                voxels = buffers.voxels.data();
            }
            if (measured)
                stream.RowTerms(voxels, rows, slot.terms.data() + 5 * y0, buffers.work.data());
        }
        return true;
    };
    // One pass over the planes: their range only, or all the work; their notes merged in
    // order into `notes`. False with the reason when a plane could not be read.
    const auto pass = [&](bool rangeOnly, ReductionNotes& notes) {
        source.WillRead(c, t, 0, planes, MappedFile::Access::Sequential);
        PlanePipeline pipeline(planes, threads, rangeOnly ? 0 : stream.TermCount());
        return pipeline.Run([&](int64_t z, Slot& slot,
                                std::string& error) { return measure(z, slot, rangeOnly, error); },
                            [&](int64_t z, Slot& slot) {
                                notes.Merge(slot.notes);
                                if (!rangeOnly) stream.Add(slot.terms.data());
                                source.DoneWith(c, t, z, z + 1);
                            },
                            result.Failure);
    };
    if (reduction.NeedsRange()) {
        ReductionNotes range;
        if (!pass(true, range)) {
            result.ReadFailed = true;
            return result;
        }
        if (planes > 0 && !reduction.SetRange(range, result.Failure)) return result;
    }
    ReductionNotes notes;
    if (!pass(false, notes)) {
        result.ReadFailed = true;
        return result;
    }
    result.Figure = stream.Figure();
    if (planes > 0) result.Warning = reduction.Warning(notes);
    return result;
}
