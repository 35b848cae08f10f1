#include "LazySlices.h"

#include "StackBytes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

/** Lines a worker takes of a front slice (a row a plane: cheap) and of a side slice. */
constexpr int FrontBatch = 32;
constexpr int SideBatch = 4;
/** The planes of the histogram stages, before they are capped at the volume's. */
constexpr int StatsStages[] = {16, 64, 256};

template <class From, class To>
void ConvertRun(const uint8_t* in, size_t count, uint8_t* out, ptrdiff_t outStep)
{
    for (size_t j = 0; j < count; ++j) {
        From value;
        std::memcpy(&value, in + j * sizeof(From), sizeof value);
        const To shown = To(value);
        std::memcpy(out + ptrdiff_t(j) * outStep, &shown, sizeof shown);
    }
}

/** An 8-bit image whose rows run top-down in memory it owns, as the slices of a volume. */
struct TopDownImage
{
    ImageStruct Record;
    std::vector<uint8_t> Pixels;
};

/**
 * A display image of `kind`: 8-bit top and front slices run top-down, so that they are
 * drawn as the slices of a volume in memory are (SliceModel's references); the others
 * are the imaging library's own images.
 */
std::shared_ptr<ImageStruct> NewShownImage(int16_t kind, SlicePlane plane, int32_t width,
                                           int32_t height)
{
    if (kind != ImageKind8 || plane == SlicePlane::Side) {
        ImagePtr image(NewSliceImage(kind, width, height));
        return std::shared_ptr<ImageStruct>(image.release(), ImageDeleter());
    }
    auto image = std::make_shared<TopDownImage>();
    image->Pixels.resize(size_t(width) * size_t(height));
    image->Record.XSize = width;
    image->Record.YSize = height;
    image->Record.LineStep = width;
    image->Record.Type = ImageKind8 | ImageAttributeDirect8;
    image->Record.Data = image->Pixels.data();
    return std::shared_ptr<ImageStruct>(image, &image->Record);
}

int DisplayBytes(int16_t kind)
{
    return kind == ImageKind8 ? 1 : kind == ImageKind16 ? 2 : 4;
}

} // namespace

std::vector<int32_t> CoarseToFineOrder(int32_t count, int32_t coarse)
{
    std::vector<int32_t> order;
    if (count <= 0) return order;
    order.reserve(size_t(count));
    std::vector<uint8_t> taken(size_t(count), 0);
    const int64_t n = std::clamp<int64_t>(coarse, 1, count);
    for (int64_t i = 0; i < n; ++i) {
        const int32_t z = int32_t((2 * i + 1) * count / (2 * n));
        if (!taken[size_t(z)]) taken[size_t(z)] = 1, order.push_back(z);
    }
    // Then the middle of every gap between planes taken (and the ends), level by level.
    while (order.size() < size_t(count)) {
        std::vector<int32_t> level;
        int32_t before = -1;
        for (int32_t z = 0; z <= count; ++z) {
            if (z < count && !taken[size_t(z)]) continue;
            if (z - before > 1) level.push_back(before + (z - before) / 2);
            before = z;
        }
        for (int32_t z : level)
            taken[size_t(z)] = 1, order.push_back(z);
    }
    return order;
}

void NearestRead(const std::vector<uint8_t>& read, std::vector<int32_t>& nearest)
{
    const int32_t count = int32_t(read.size());
    nearest.assign(read.size(), -1);
    int32_t last = -1;
    for (int32_t i = 0; i < count; ++i) {
        if (read[size_t(i)]) last = i;
        nearest[size_t(i)] = last;
    }
    int32_t next = -1;
    for (int32_t i = count - 1; i >= 0; --i) {
        if (read[size_t(i)]) next = i;
        const int32_t below = nearest[size_t(i)];
        if (next >= 0 && (below < 0 || next - i < i - below)) nearest[size_t(i)] = next;
    }
}

int16_t LazyDisplayKind(SampleKind kind)
{
    switch (kind) {
    case SampleKind::UInt8:
    case SampleKind::Int8:
        return ImageKind8;
    case SampleKind::UInt16:
        return ImageKind16;
    case SampleKind::Int16:
    case SampleKind::Int32:
        return ImageKind32;
    default:
        return ImageKindFloat;
    }
}

void ConvertToDisplay(const uint8_t* samples, SampleKind kind, size_t count, uint8_t* out,
                      ptrdiff_t outStep)
{
    switch (kind) {
    case SampleKind::UInt8:
    case SampleKind::Int8:
        if (outStep == 1) return void(std::memcpy(out, samples, count));
        return ConvertRun<uint8_t, uint8_t>(samples, count, out, outStep);
    case SampleKind::UInt16:
        return ConvertRun<uint16_t, uint16_t>(samples, count, out, outStep);
    case SampleKind::Int16:
        return ConvertRun<int16_t, int32_t>(samples, count, out, outStep);
    case SampleKind::Int32:
        return ConvertRun<int32_t, int32_t>(samples, count, out, outStep);
    case SampleKind::UInt32:
        return ConvertRun<uint32_t, float>(samples, count, out, outStep);
    case SampleKind::UInt64:
        return ConvertRun<uint64_t, float>(samples, count, out, outStep);
    case SampleKind::Int64:
        return ConvertRun<int64_t, float>(samples, count, out, outStep);
    case SampleKind::Float32:
        return ConvertRun<float, float>(samples, count, out, outStep);
    default:
        return ConvertRun<double, float>(samples, count, out, outStep);
    }
}

// --- the cache's slices ------------------------------------------------------------------

/** One slice being read or read: its lines of samples, and the image last made of them. */
struct LazySlices::Entry
{
    SlicePlane Plane = SlicePlane::Top;
    int C = 0, T = 0, Position = 0;
    int Lines = 1;         ///< planes it needs: 1 for the top slice, else SizeZ
    int64_t LineBytes = 0; ///< the samples of one: a plane, a row or a column
    std::vector<uint8_t> Samples;
    std::vector<uint8_t> State; ///< per line: 0 to read, 1 being read, 2 read
    size_t Cursor = 0;          ///< lines of the order before this are taken
    int Read = 0, Pending = 0;
    std::shared_ptr<const ImageStruct> Image;
    int Shown = 0; ///< lines read when Image was made
    Clock::time_point Rendered = Clock::now();
    bool Rendering = false;
    std::shared_ptr<const ByteVolume> Voxels;
    bool MakingVoxels = false;
    int64_t Counted = 0; ///< the bytes counted for it in the cache

    int64_t Bytes() const
    {
        int64_t bytes = int64_t(Samples.capacity());
        if (Image) bytes += int64_t(std::abs(Image->LineStep)) * Image->YSize;
        if (Voxels) bytes += Voxels->VoxelCount();
        return bytes;
    }
};

/** The histogram of one volume, stage by stage. */
struct LazySlices::StatsJob
{
    int C = 0, T = 0;
    size_t Stage = 0; ///< the next stage
    bool Running = false;
    bool Complete = false;
    Stats Result;
};

LazySlices::LazySlices(std::unique_ptr<PlaneSource> source, const Options& options)
    : source_(std::move(source)), options_(options)
{
    mapped_ = dynamic_cast<MappedPlaneSource*>(source_.get()) != nullptr;
    order_ = CoarseToFineOrder(Layout().SizeZ, options_.CoarsePlanes);
    for (int i = 0; i < std::max(options_.Threads, 1); ++i)
        threads_.emplace_back([this] { Run(); });
}

LazySlices::~LazySlices()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void LazySlices::Show(int t, const std::vector<int>& channels, int x, int y, int z)
{
    {
        const std::lock_guard lock(mutex_);
        ++generation_;
        wanted_.clear();
        voxelKeys_.clear();
        for (int c : channels)
            wanted_.emplace_back(int(SlicePlane::Top), c, t, z);
        for (int c : channels) {
            wanted_.emplace_back(int(SlicePlane::Front), c, t, y);
            wanted_.emplace_back(int(SlicePlane::Side), c, t, x);
        }
        if (!channels.empty()) voxelKeys_.emplace_back(int(SlicePlane::Top), channels[0], t, z);
        // The slices shown are the most recently used.
        for (const Key& key : wanted_)
            if (entries_.count(key)) {
                recent_.remove(key);
                recent_.push_back(key);
            }
    }
    wake_.notify_all();
}

void LazySlices::RequestStats(int c, int t)
{
    {
        const std::lock_guard lock(mutex_);
        auto& job = stats_[{c, t}];
        if (job) return;
        job = std::make_shared<StatsJob>();
        job->C = c, job->T = t;
        statsQueue_.push_back(job);
    }
    wake_.notify_all();
}

std::shared_ptr<LazySlices::Entry> LazySlices::Find(const Key& key) const
{
    const auto found = entries_.find(key);
    return found == entries_.end() ? nullptr : found->second;
}

std::shared_ptr<LazySlices::Entry> LazySlices::Get(const Key& key)
{
    if (auto entry = Find(key)) return entry;
    const StackLayout& layout = Layout();
    const int bytes = SampleKindBytes(layout.Kind);
    auto entry = std::make_shared<Entry>();
    entry->Plane = SlicePlane(std::get<0>(key));
    entry->C = std::get<1>(key), entry->T = std::get<2>(key);
    entry->Position = std::get<3>(key);
    switch (entry->Plane) {
    case SlicePlane::Top:
        entry->Lines = 1;
        entry->LineBytes = source_->PlaneBytes();
        break;
    case SlicePlane::Front:
        entry->Lines = layout.SizeZ;
        entry->LineBytes = int64_t(layout.SizeX) * bytes;
        break;
    default:
        entry->Lines = layout.SizeZ;
        entry->LineBytes = int64_t(layout.SizeY) * bytes;
        break;
    }
    entry->State.assign(size_t(entry->Lines), 0);
    entries_[key] = entry;
    recent_.push_back(key);
    return entry;
}

bool LazySlices::ClaimLines(const std::shared_ptr<Entry>& entry, int most, Claim& claim)
{
    if (entry->Read + entry->Pending >= entry->Lines) return false;
    if (entry->Samples.empty()) {
        try {
            entry->Samples.resize(size_t(entry->Lines * entry->LineBytes));
        } catch (const std::bad_alloc&) {
            failure_ = "not enough memory for a slice";
            return false;
        }
        bytes_ += entry->Bytes() - entry->Counted;
        entry->Counted = entry->Bytes();
    }
    static const std::vector<int32_t> top{0};
    const std::vector<int32_t>& order = entry->Plane == SlicePlane::Top ? top : order_;
    while (entry->Cursor < order.size() && entry->State[size_t(order[entry->Cursor])] != 0)
        ++entry->Cursor;
    for (size_t i = entry->Cursor; i < order.size() && int(claim.Lines.size()) < most; ++i)
        if (entry->State[size_t(order[i])] == 0) {
            entry->State[size_t(order[i])] = 1;
            claim.Lines.push_back(order[i]);
        }
    entry->Pending += int(claim.Lines.size());
    claim.Slice = entry;
    return !claim.Lines.empty();
}

bool LazySlices::Next(Claim& claim)
{
    if (stop_ || !failure_.empty()) return false;
    // The top planes first, then the active one's voxels, the first histogram stages, the
    // coarse passes of the front and side slices, the histograms' refinements, the
    // slices' fine passes in turn.
    for (const Key& key : wanted_)
        if (SlicePlane(std::get<0>(key)) == SlicePlane::Top && ClaimLines(Get(key), 1, claim))
            return true;
    for (const Key& key : voxelKeys_)
        if (auto entry = Find(key);
            entry && entry->Read == 1 && !entry->Voxels && !entry->MakingVoxels) {
            entry->MakingVoxels = true;
            claim.Slice = entry;
            return true;
        }
    for (const auto& job : statsQueue_)
        if (!job->Running && job->Stage == 0) {
            job->Running = true;
            claim.Job = job;
            return true;
        }
    std::vector<Key> sides;
    for (const Key& key : wanted_)
        if (SlicePlane(std::get<0>(key)) != SlicePlane::Top) sides.push_back(key);
    // The coarse passes first, front slices (a row a plane) before side slices (a column
    // that touches every page of its plane); then the slices in turn.
    for (const Key& key : sides) {
        const auto entry = Get(key);
        const int coarse = std::min(options_.CoarsePlanes, entry->Lines);
        const int batch =
            SlicePlane(std::get<0>(key)) == SlicePlane::Front ? FrontBatch : SideBatch;
        if (entry->Read + entry->Pending < coarse &&
            ClaimLines(entry, std::min(batch, coarse - entry->Read - entry->Pending), claim)) {
            Evict();
            return true;
        }
    }
    // The histograms' refinements before the slices' fine passes: a stage is quick.
    for (const auto& job : statsQueue_)
        if (!job->Running && !job->Complete) {
            job->Running = true;
            claim.Job = job;
            return true;
        }
    for (size_t i = 0; i < sides.size(); ++i) {
        const Key& key = sides[(i + generation_ + claims_) % sides.size()];
        const int batch =
            SlicePlane(std::get<0>(key)) == SlicePlane::Front ? FrontBatch : SideBatch;
        if (ClaimLines(Get(key), batch, claim)) {
            ++claims_;
            Evict();
            return true;
        }
    }
    return false;
}

void LazySlices::Run()
{
    // The readers yield to the interface: a nice value of 10 for this thread only.
    if (options_.LowPriority) setpriority(PRIO_PROCESS, pid_t(gettid()), 10);
    for (;;) {
        Claim claim;
        uint64_t generation = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || Next(claim); });
            if (stop_) {
                if (claim.Slice && !claim.Lines.empty()) {
                    for (int32_t line : claim.Lines)
                        claim.Slice->State[size_t(line)] = 0;
                    claim.Slice->Pending -= int(claim.Lines.size());
                }
                return;
            }
            generation = generation_;
        }
        if (claim.Job)
            ReadStatsStage(*claim.Job);
        else if (claim.Lines.empty())
            MakeVoxels(*claim.Slice);
        else
            ReadLines(claim, generation);
    }
}

void LazySlices::ReadLines(Claim& claim, uint64_t generation)
{
    Entry& entry = *claim.Slice;
    std::string error;
    size_t done = 0;
    // The kernel reads the top slice's plane ahead in one go, not a fault at a time.
    if (entry.Plane == SlicePlane::Top)
        source_->WillRead(entry.C, entry.T, entry.Position, entry.Position + 1,
                          MappedFile::Access::WillNeed);
    bool failed = false;
    for (; done < claim.Lines.size(); ++done) {
        {
            // Moved elsewhere: the rest of the batch waits until this slice is shown again.
            const std::lock_guard lock(mutex_);
            if (stop_ || !failure_.empty() || (done > 0 && generation != generation_)) break;
        }
        const int32_t line = claim.Lines[done];
        uint8_t* out = entry.Samples.data() + line * entry.LineBytes;
        bool ok = false;
        switch (entry.Plane) {
        case SlicePlane::Top:
            ok = source_->ReadPlane(entry.C, entry.T, entry.Position, out, error);
            if (ok) source_->DoneWith(entry.C, entry.T, entry.Position, entry.Position + 1);
            break;
        case SlicePlane::Front:
            ok = source_->ReadRows(entry.C, entry.T, line, entry.Position, entry.Position + 1, out,
                                   error);
            break;
        default:
            // A column touches every page of its plane: they leave the resident set again.
            ok = source_->ReadColumn(entry.C, entry.T, line, entry.Position, out, error);
            if (ok) source_->DoneWith(entry.C, entry.T, line, line + 1);
            break;
        }
        if (!ok) {
            failed = true;
            break;
        }
        const std::lock_guard lock(mutex_);
        entry.State[size_t(line)] = 2;
        ++entry.Read;
        --entry.Pending;
    }
    bool render = false;
    {
        const std::lock_guard lock(mutex_);
        for (size_t i = done; i < claim.Lines.size(); ++i) {
            entry.State[size_t(claim.Lines[i])] = 0;
            --entry.Pending;
            entry.Cursor = 0;
        }
        const bool complete = entry.Read == entry.Lines;
        const int64_t since =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - entry.Rendered)
                .count();
        const bool coarse =
            entry.Shown == 0 && entry.Read >= std::min(options_.CoarsePlanes, entry.Lines);
        if (!entry.Rendering && entry.Read > entry.Shown &&
            (complete || coarse || since >= options_.RefreshMs)) {
            entry.Rendering = true;
            render = true;
        }
    }
    if (failed) Fail(error);
    if (render) Render(entry);
    if (done < claim.Lines.size()) wake_.notify_all();
}

void LazySlices::Render(Entry& entry)
{
    const StackLayout& layout = Layout();
    const SampleKind kind = layout.Kind;
    const int16_t display = DisplayKind();
    const int64_t bytes = SampleKindBytes(kind);
    for (;;) {
        std::vector<uint8_t> read(entry.State.size());
        int count = 0;
        {
            const std::lock_guard lock(mutex_);
            for (size_t i = 0; i < read.size(); ++i)
                read[i] = entry.State[i] == 2;
            count = entry.Read;
        }
        std::vector<int32_t> nearest;
        NearestRead(read, nearest);
        const int width = entry.Plane == SlicePlane::Side ? layout.SizeZ : layout.SizeX;
        const int height = entry.Plane == SlicePlane::Front ? layout.SizeZ : layout.SizeY;
        std::shared_ptr<ImageStruct> image;
        try {
            image = NewShownImage(display, entry.Plane, width, height);
        } catch (const std::bad_alloc&) {
        }
        if (image) {
            const uint8_t* samples = entry.Samples.data();
            const int step = DisplayBytes(display);
            if (entry.Plane == SlicePlane::Top) {
                for (int v = 0; v < height; ++v)
                    ConvertToDisplay(samples + v * int64_t(width) * bytes, kind, size_t(width),
                                     image->Data + int64_t(v) * image->LineStep, step);
            } else if (entry.Plane == SlicePlane::Front) {
                for (int v = 0; v < height; ++v)
                    ConvertToDisplay(samples + nearest[size_t(v)] * entry.LineBytes, kind,
                                     size_t(width), image->Data + int64_t(v) * image->LineStep,
                                     step);
            } else {
                // Column z of the image is line z: written in bands of rows, to stay in cache.
                constexpr int Band = 64;
                for (int v0 = 0; v0 < height; v0 += Band) {
                    const int rows = std::min(Band, height - v0);
                    for (int u = 0; u < width; ++u) {
                        const uint8_t* line = samples + nearest[size_t(u)] * entry.LineBytes;
                        ConvertToDisplay(line + v0 * bytes, kind, size_t(rows),
                                         image->Data + int64_t(v0) * image->LineStep + u * step,
                                         image->LineStep);
                    }
                }
            }
            TouchImage(image.get());
        }
        std::shared_ptr<const ImageStruct> shared = std::move(image);
        bool again = false;
        {
            const std::lock_guard lock(mutex_);
            if (shared) {
                entry.Image = std::move(shared);
                entry.Shown = count;
            }
            entry.Rendered = Clock::now();
            // The last lines may have come while this image was made.
            again = entry.Image && entry.Read == entry.Lines && entry.Shown < entry.Lines;
            if (!again) entry.Rendering = false;
            bytes_ += entry.Bytes() - entry.Counted;
            entry.Counted = entry.Bytes();
            Evict();
        }
        Publish();
        if (!again) return;
    }
}

void LazySlices::MakeVoxels(Entry& entry)
{
    const StackLayout& layout = Layout();
    auto voxels = std::make_shared<ByteVolume>();
    try {
        voxels->Allocate(layout.SizeX, layout.SizeY, 1);
        const size_t count = size_t(layout.SizeX) * size_t(layout.SizeY);
        if (SampleKindBytes(layout.Kind) == 1) {
            std::memcpy(voxels->Data, entry.Samples.data(), count);
        } else {
            // A plane without a finite sample leaves voxels of 0.
            ByteReduction reduction(layout);
            std::string message;
            bool reduce = true;
            if (reduction.NeedsRange()) {
                ReductionNotes range;
                reduction.NoteRange(entry.Samples.data(), count, range);
                reduce = reduction.SetRange(range, message);
            }
            ReductionNotes notes;
            if (reduce) reduction.Reduce(entry.Samples.data(), count, voxels->Data, notes);
        }
    } catch (const std::bad_alloc&) {
        voxels.reset();
    }
    {
        const std::lock_guard lock(mutex_);
        entry.Voxels = std::move(voxels);
        entry.MakingVoxels = false;
        bytes_ += entry.Bytes() - entry.Counted;
        entry.Counted = entry.Bytes();
        Evict();
    }
    Publish();
}

void LazySlices::ReadStatsStage(StatsJob& job)
{
    const StackLayout& layout = Layout();
    std::vector<int> stages;
    for (int planes : StatsStages)
        if (stages.empty() || stages.back() < std::min(planes, layout.SizeZ))
            stages.push_back(std::min(planes, layout.SizeZ));
    const int n = stages[std::min(job.Stage, stages.size() - 1)];
    const int64_t plane = int64_t(layout.SizeX) * layout.SizeY;
    const int64_t rowStep =
        std::max<int64_t>(1, (n * plane + options_.StatsSamples - 1) / options_.StatsSamples);
    const int32_t rows = int32_t((layout.SizeY + rowStep - 1) / rowStep);
    StackLayout sample = layout;
    sample.SizeY = rows;
    sample.SizeZ = n;
    sample.Channels = 1;
    sample.Frames = 1;
    VolumeStack stack;
    std::string error;
    bool ok = true;
    try {
        stack.Allocate(sample);
        std::vector<uint8_t> scratch;
        for (int i = 0; i < n && ok; ++i) {
            {
                const std::lock_guard lock(mutex_);
                if (stop_ || !failure_.empty()) ok = false;
            }
            if (!ok) break;
            const int64_t z = (2 * int64_t(i) + 1) * layout.SizeZ / (2 * int64_t(n));
            if (rowStep == 1) {
                ok = source_->ReadPlane(job.C, job.T, z, stack.Plane(0, 0, i), error);
            } else if (mapped_) {
                for (int32_t r = 0; r < rows && ok; ++r)
                    ok = source_->ReadRows(job.C, job.T, z, r * rowStep, r * rowStep + 1,
                                           stack.Row(0, 0, i, r), error);
            } else {
                scratch.resize(size_t(source_->PlaneBytes()));
                ok = source_->ReadPlane(job.C, job.T, z, scratch.data(), error);
                for (int32_t r = 0; r < rows && ok; ++r)
                    std::memcpy(stack.Row(0, 0, i, r),
                                scratch.data() + r * rowStep * source_->RowBytes(),
                                size_t(source_->RowBytes()));
            }
            if (ok)
                source_->DoneWith(job.C, job.T, z, z + 1);
            else if (!error.empty())
                Fail(error);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    Stats result;
    if (ok) {
        result.Histogram = ComputeHistogram(stack, 0, 0);
        result.Integers = WholeValues(stack, 0, 0);
        result.Planes = n;
        result.RowStep = int(rowStep);
    }
    {
        const std::lock_guard lock(mutex_);
        job.Running = false;
        if (ok) {
            result.Complete = job.Stage + 1 >= stages.size();
            job.Result = std::move(result);
            ++job.Stage;
            job.Complete = job.Result.Complete;
        } else if (failure_.empty() && !stop_) {
            job.Complete = true; // out of memory: the stage reached stays
        }
    }
    Publish();
}

void LazySlices::Fail(const std::string& reason)
{
    {
        const std::lock_guard lock(mutex_);
        if (failure_.empty()) failure_ = reason.empty() ? "a read failed" : reason;
    }
    Publish();
    wake_.notify_all();
}

void LazySlices::Evict()
{
    auto key = recent_.begin();
    while (bytes_ > options_.CacheBytes && key != recent_.end()) {
        const bool shown = std::find(wanted_.begin(), wanted_.end(), *key) != wanted_.end();
        const auto entry = Find(*key);
        if (shown || !entry || entry->Pending > 0 || entry->Rendering || entry->MakingVoxels) {
            ++key;
            continue;
        }
        bytes_ -= entry->Counted;
        entries_.erase(*key);
        key = recent_.erase(key);
    }
}

LazySlices::SliceImage LazySlices::Slice(SlicePlane plane, int c, int t, int position) const
{
    SliceImage slice;
    const std::lock_guard lock(mutex_);
    if (const auto entry = Find({int(plane), c, t, position})) {
        slice.Image = entry->Image;
        slice.Lines = entry->Lines;
        slice.LinesRead = entry->Read;
        slice.LinesShown = entry->Image ? entry->Shown : 0;
    }
    return slice;
}

bool LazySlices::Sample(int c, int t, int x, int y, int z, double& value) const
{
    const StackLayout& layout = Layout();
    if (x < 0 || y < 0 || z < 0 || x >= layout.SizeX || y >= layout.SizeY || z >= layout.SizeZ)
        return false;
    const int64_t bytes = SampleKindBytes(layout.Kind);
    const std::lock_guard lock(mutex_);
    if (const auto top = Find({int(SlicePlane::Top), c, t, z}); top && top->State[0] == 2) {
        value =
            SampleValue(top->Samples.data() + (int64_t(y) * layout.SizeX + x) * bytes, layout.Kind);
        return true;
    }
    if (const auto front = Find({int(SlicePlane::Front), c, t, y});
        front && front->State[size_t(z)] == 2) {
        value = SampleValue(front->Samples.data() + z * front->LineBytes + x * bytes, layout.Kind);
        return true;
    }
    if (const auto side = Find({int(SlicePlane::Side), c, t, x});
        side && side->State[size_t(z)] == 2) {
        value = SampleValue(side->Samples.data() + z * side->LineBytes + y * bytes, layout.Kind);
        return true;
    }
    return false;
}

std::shared_ptr<const ByteVolume> LazySlices::PlaneVoxels(int c, int t, int z) const
{
    const std::lock_guard lock(mutex_);
    const auto entry = Find({int(SlicePlane::Top), c, t, z});
    return entry ? entry->Voxels : nullptr;
}

LazySlices::Stats LazySlices::StatsOf(int c, int t) const
{
    const std::lock_guard lock(mutex_);
    const auto job = stats_.find({c, t});
    return job == stats_.end() ? Stats() : job->second->Result;
}

bool LazySlices::Busy() const
{
    const std::lock_guard lock(mutex_);
    if (!failure_.empty()) return false;
    for (const Key& key : wanted_) {
        const auto entry = Find(key);
        if (!entry || entry->Read < entry->Lines || entry->Shown < entry->Lines) return true;
    }
    for (const Key& key : voxelKeys_)
        if (const auto entry = Find(key); !entry || !entry->Voxels) return true;
    for (const auto& job : statsQueue_)
        if (!job->Complete) return true;
    return false;
}

std::string LazySlices::Failure() const
{
    const std::lock_guard lock(mutex_);
    return failure_;
}

void LazySlices::SetCacheBytes(int64_t bytes)
{
    const std::lock_guard lock(mutex_);
    options_.CacheBytes = std::max<int64_t>(bytes, 0);
    Evict();
}

int64_t LazySlices::CachedBytes() const
{
    const std::lock_guard lock(mutex_);
    return bytes_;
}

// --- a source that can be stopped --------------------------------------------------------

CancellableSource::CancellableSource(PlaneSource& source, std::function<bool()> cancelled)
    : source_(source), cancelled_(std::move(cancelled))
{
    layout_ = source.Layout();
    warning_ = source.Warning();
}

bool CancellableSource::Go(std::string& error)
{
    if (!cancelled_ || !cancelled_()) return true;
    stopped_.store(true, std::memory_order_relaxed);
    error = "cancelled";
    return false;
}

bool CancellableSource::ReadPlane(int c, int t, int64_t z, uint8_t* out, std::string& error)
{
    if (!Go(error) || !source_.ReadPlane(c, t, z, out, error)) return false;
    planes_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool CancellableSource::ReadRows(int c, int t, int64_t z, int64_t y0, int64_t y1, uint8_t* out,
                                 std::string& error)
{
    if (!Go(error) || !source_.ReadRows(c, t, z, y0, y1, out, error)) return false;
    planes_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool CancellableSource::ReadColumn(int c, int t, int64_t z, int64_t x, uint8_t* out,
                                   std::string& error)
{
    if (!Go(error) || !source_.ReadColumn(c, t, z, x, out, error)) return false;
    planes_.fetch_add(1, std::memory_order_relaxed);
    return true;
}
