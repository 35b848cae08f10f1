#pragma once

#include "ByteVolume.h"
#include "PlaneSource.h"
#include "SampleStats.h"
#include "SliceModel.h"
#include "imgkernel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

/**
 * The order in which the `count` planes of a side slice are read: first about `coarse`
 * of them spread evenly (the middle of each of `coarse` equal runs), then those halfway
 * between the planes read, and so on until every plane is taken, each once. No Qt.
 */
std::vector<int32_t> CoarseToFineOrder(int32_t count, int32_t coarse);

/**
 * For each line i of `read` (non-zero where a line was read), the nearest read line, the
 * lower one of two as near: `nearest[i]`; −1 throughout when none was read.
 */
void NearestRead(const std::vector<uint8_t>& read, std::vector<int32_t>& nearest);

/**
 * The imaging element kind the slices of samples of `kind` are shown in when they are read
 * from a file: ImageKind8 for samples of one byte, ImageKind16 for unsigned 16-bit ones,
 * ImageKind32 for signed 16-bit and 32-bit ones, ImageKindFloat for the others (unsigned
 * 32-bit samples among them, whose range is not known before the whole volume is read).
 */
int16_t LazyDisplayKind(SampleKind kind);

/**
 * Writes `count` samples of `kind` (host order) as elements of LazyDisplayKind(kind), the
 * element j at out + j·outStep bytes.
 */
void ConvertToDisplay(const uint8_t* samples, SampleKind kind, size_t count, uint8_t* out,
                      ptrdiff_t outStep);

/**
 * The three slices of a volume too large for memory, read from its file through a
 * PlaneSource (RandomAccess) on worker threads of its own, cached. No Qt.
 *
 * The interface says what it shows (Show: a time point, the channels, the positions) and
 * takes what has been read so far (Slice, Sample, StatsOf), never waiting for the file:
 * every read happens on the workers. The top slice (X–Y) is one plane, shown once read.
 * The front (X–Z) and side (Z–Y) slices need a row or a column of every plane: they are
 * read in CoarseToFineOrder, and each image published meanwhile fills the planes not yet
 * read from the nearest one read. Images are published when a slice is complete, and
 * otherwise at most every RefreshMs.
 *
 * Slices are cached, least recently used first out, within a budget of bytes (the
 * samples read and their images); the slices shown are kept whatever the budget. A
 * slice left half read when the positions move keeps what it read and goes on when it is
 * shown again.
 *
 * Histograms are counted from a sample of the planes, refined in stages (16, 64, 256
 * planes, spread evenly; rows thinned so that a stage counts a bounded number of
 * samples), each stage published as it ends.
 *
 * The first read that fails (the file was truncated) stops all reading: Failure tells
 * why, and what was read stays available.
 */
class LazySlices
{
public:
    struct Options
    {
        int64_t CacheBytes = int64_t(512) << 20;
        int Threads = 2;
        bool LowPriority = true; ///< the workers run at a nice value of 10
        int CoarsePlanes = 48;   ///< planes of a side slice's first pass
        int RefreshMs = 250;     ///< the least time between two images of a slice being read
        /** The most samples a histogram stage counts (rows are thinned to stay below). */
        int64_t StatsSamples = int64_t(8) << 20;
        /**
         * Called on a worker thread whenever something is published (Changes moves on):
         * the interface may come and look. It must not call back into the slices.
         */
        std::function<void()> Published;
    };

    /** What the interface gets of one slice. */
    struct SliceImage
    {
        /** Display kind (LazyDisplayKind), rows top-down; null until a line is read. */
        std::shared_ptr<const ImageStruct> Image;
        int Lines = 0;     ///< planes the slice needs (1 for the top slice)
        int LinesRead = 0; ///< of which read; Image shows LinesShown of them
        int LinesShown = 0;
        bool Complete() const { return Lines > 0 && LinesRead == Lines; }
    };

    /** A histogram counted from a sample of a volume's planes. */
    struct Stats
    {
        SampleHistogram Histogram;
        bool Integers = true;  ///< every finite sample counted is a whole number
        int Planes = 0;        ///< planes counted, 0 until the first stage ends
        int RowStep = 1;       ///< every RowStep-th row of them
        bool Complete = false; ///< no further stage follows
    };

    LazySlices(std::unique_ptr<PlaneSource> source, const Options& options);
    /** Stops the workers and waits for them (each finishes the line it reads). */
    ~LazySlices();
    LazySlices(const LazySlices&) = delete;
    LazySlices& operator=(const LazySlices&) = delete;

    const StackLayout& Layout() const { return source_->Layout(); }
    PlaneSource& Source() { return *source_; }
    int16_t DisplayKind() const { return LazyDisplayKind(Layout().Kind); }

    /**
     * Shows time point `t` of `channels` (the first one is the active channel, whose top
     * plane also gets 8-bit voxels) at voxel (x, y, z): the workers turn to these slices
     * and histograms, leaving what they read for others.
     */
    void Show(int t, const std::vector<int>& channels, int x, int y, int z);
    /** Counts the histogram of volume (c, t), after those asked for before. */
    void RequestStats(int c, int t);

    /** The slice of `plane` of volume (c, t) at `position`, as far as it was read. */
    SliceImage Slice(SlicePlane plane, int c, int t, int position) const;
    /** Sample (x, y, z) of volume (c, t), when a cached slice holds it. */
    bool Sample(int c, int t, int x, int y, int z, double& value) const;
    /**
     * The 8-bit voxels of plane z of volume (c, t) (a volume of one plane), once read as
     * the active channel's top plane; null before. Floating-point samples map the plane's
     * own finite range.
     */
    std::shared_ptr<const ByteVolume> PlaneVoxels(int c, int t, int z) const;
    Stats StatsOf(int c, int t) const;

    /** Counts what was published: a change tells the interface to look again. */
    uint64_t Changes() const { return changes_.load(std::memory_order_acquire); }
    /** True while a shown slice or a requested histogram is still being read. */
    bool Busy() const;
    /** Why reading stopped (a read failed), or empty. */
    std::string Failure() const;

    void SetCacheBytes(int64_t bytes);
    /** Bytes the cache holds. */
    int64_t CachedBytes() const;

private:
    using Key = std::tuple<int, int, int, int>; ///< plane, c, t, position
    struct Entry;
    struct StatsJob;
    /** A piece of work a worker took: lines of a slice, or a histogram stage. */
    struct Claim
    {
        std::shared_ptr<Entry> Slice;
        std::vector<int32_t> Lines;
        std::shared_ptr<StatsJob> Job;
    };

    void Run();
    /** The next piece of work by priority; false when there is none. Under mutex_. */
    bool Next(Claim& claim);
    bool ClaimLines(const std::shared_ptr<Entry>& entry, int most, Claim& claim);
    std::shared_ptr<Entry> Find(const Key& key) const;
    std::shared_ptr<Entry> Get(const Key& key);
    void ReadLines(Claim& claim, uint64_t generation);
    void ReadStatsStage(StatsJob& job);
    /** Makes entry's image from the lines read so far. */
    void Render(Entry& entry);
    void MakeVoxels(Entry& entry);
    void Fail(const std::string& reason);
    void Evict();
    void Publish()
    {
        changes_.fetch_add(1, std::memory_order_acq_rel);
        if (options_.Published) options_.Published();
    }

    std::unique_ptr<PlaneSource> source_;
    Options options_;
    bool mapped_ = false;        ///< rows of a plane can be read alone, cheaply
    std::vector<int32_t> order_; ///< CoarseToFineOrder of SizeZ

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::string failure_;
    uint64_t generation_ = 0;    ///< counts calls of Show
    uint64_t claims_ = 0;        ///< side slice batches taken, to take the slices in turn
    std::vector<Key> wanted_;    ///< the slices shown, by priority
    std::vector<Key> voxelKeys_; ///< top planes that get 8-bit voxels
    std::map<Key, std::shared_ptr<Entry>> entries_;
    std::list<Key> recent_; ///< least recently used first
    int64_t bytes_ = 0;
    std::map<std::pair<int, int>, std::shared_ptr<StatsJob>> stats_;
    std::vector<std::shared_ptr<StatsJob>> statsQueue_;
    std::atomic<uint64_t> changes_{0};
    std::vector<std::thread> threads_;
};

/**
 * Reads through another source until told to stop: from then on every read fails. It
 * counts the planes it read, for a progress bar, and reads as its source does.
 */
class CancellableSource : public PlaneSource
{
public:
    CancellableSource(PlaneSource& source, std::function<bool()> cancelled);

    bool RandomAccess() const override { return source_.RandomAccess(); }
    bool ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error) override;
    bool ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                  std::string& error) override;
    bool ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out, std::string& error) override;
    void WillRead(int c, int t, int64_t z0, int64_t z1, MappedFile::Access access) override
    {
        source_.WillRead(c, t, z0, z1, access);
    }
    void DoneWith(int c, int t, int64_t z0, int64_t z1) override { source_.DoneWith(c, t, z0, z1); }

    /** Planes read so far (whole planes, rows and columns alike). */
    int64_t PlanesRead() const { return planes_.load(std::memory_order_relaxed); }
    /** True once a read was refused because the reading was stopped. */
    bool Stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    bool Go(std::string& error);

    PlaneSource& source_;
    std::function<bool()> cancelled_;
    std::atomic<int64_t> planes_{0};
    std::atomic<bool> stopped_{false};
};
