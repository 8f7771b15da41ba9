#include "stage/slice_worker.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <thread>

#include "core/check.h"
#include "filtering/process_reference_location.h"
#include "stage/progress.h"

namespace vexa {

int gridLineCount(int sliceCount, int sliceStep) {
    const long long total = static_cast<long long>(sliceCount) + sliceStep;
    const long long q = total / sliceStep, r = total % sliceStep;
    return static_cast<int>(q + 1 - (r == 0 ? 1 : 0));
}

void jobLineRange(int lineCount, int numThreads, int job, int& begin, int& end) {
    const int run = static_cast<int>(std::ceil(static_cast<float>(lineCount) / numThreads));
    const long long first = static_cast<long long>(job) * run;
    begin = static_cast<int>(std::min<long long>(first, lineCount));
    end = static_cast<int>(std::min<long long>(first + run, lineCount));
}

StageGeometry computeStageGeometry(const Parameters& params) {
    const Vec3<int>& size = params.imageSize;
    const Vec3<int>& block = params.blockSize;
    const Vec3<int>& step = params.step;
    StageGeometry g;
    g.maxPos = {std::max(size.x - block.x, 0), std::max(size.y - block.y, 0),
                std::max(size.z - block.z, 0)};
    g.extractRadius = {params.splitBlockExtraction[0] ? params.searchRadius.x : size.x,
                       params.splitBlockExtraction[1] ? params.searchRadius.y : size.y,
                       params.splitBlockExtraction[2] ? params.searchRadius.z : size.z};
    const int nx = size.x / step.x + 1, ny = size.y / step.y + 1, nz = size.z / step.z + 1;
    g.gridStrides = {1, nx, static_cast<int>(std::min<long long>(1LL * nx * ny, INT_MAX))};
    g.referenceCount = static_cast<long long>(nx) * ny * nz;
    g.is3D = size.z > 1;
    g.sliceCount = g.is3D ? size.z : size.y;
    g.sliceStep = g.is3D ? step.z : step.y;
    g.sliceMove = g.is3D ? Vec3<int>{0, 0, step.z} : Vec3<int>{0, step.y, 0};
    const int cutRadius = g.is3D ? g.extractRadius.z : g.extractRadius.y;
    g.wholeAxis = 2LL * cutRadius + 1 >= g.sliceCount;
    // Shared buffers must never move: their box (radius extractRadius + 1)
    // has to leave no axis to slide along, whichever axis the jobs are cut on.
    g.shareCollections = 2LL * (g.extractRadius.x + 1) + 1 >= size.x &&
                         2LL * (g.extractRadius.y + 1) + 1 >= size.y &&
                         2LL * (g.extractRadius.z + 1) + 1 >= size.z;
    g.lineCount = gridLineCount(g.sliceCount, g.sliceStep);
    return g;
}

void LineSchedule::reset(int lines, int linesPerChunk) {
    chunkLines = std::max(1, linesPerChunk);
    chunkCount = (lines + chunkLines - 1) / chunkLines;
    done.reset(new std::atomic<bool>[static_cast<std::size_t>(std::max(chunkCount, 1))]);
    for (int i = 0; i < chunkCount; ++i) done[i].store(false);
    nextEven.store(0);
    nextOdd.store(1);
    lowestUnfinished.store(0);
    aheadLimit = 0;
    completions = 0;
}

int LineSchedule::take() {
    int odd = nextOdd.load();
    while (odd < chunkCount && finished(odd - 1) && finished(odd + 1)) {
        if (nextOdd.compare_exchange_weak(odd, odd + 2)) return odd;
    }
    int even = nextEven.load();
    while (even < chunkCount) {
        if (aheadLimit > 0 && even > lowestUnfinished.load() + aheadLimit) return -2;
        if (nextEven.compare_exchange_weak(even, even + 2)) return even;
    }
    return nextOdd.load() < chunkCount ? -2 : -1;
}

namespace {

// Spread of a shift table: the largest positive shift minus the most negative one.
int shiftSpread(const int* table, int count) {
    long long hi = 0, lo = 0;
    for (int i = 0; table != nullptr && i < count; ++i) {
        hi = std::max<long long>(hi, table[i]);
        lo = std::min<long long>(lo, table[i]);
    }
    return static_cast<int>(std::min<long long>(hi - lo, INT_MAX / 4));
}

} // namespace

int scheduleChunkLines(const Parameters& params, const StageGeometry& g) {
    const int axis = g.is3D ? 2 : 1;
    const long long spread = axis == 2 ? shiftSpread(params.gridShift.z, params.gridShiftCount.z)
                                       : shiftSpread(params.gridShift.y, params.gridShiftCount.y);
    const long long radius = axis == 2 ? params.searchRadius.z : params.searchRadius.y;
    const long long block = axis == 2 ? params.blockSize.z : params.blockSize.y;
    // Origins of lines a and a + C + 1 (the ends of two chunks with one chunk
    // between) lie at least C * step + 1 - spread apart: the last line is
    // clamped to the last origin, less than one step below its own position,
    // and the shifts (clamped at 0) move origins by up to their spread. Their
    // groups write [origin - radius, origin + radius + block - 1], so they
    // stay apart once that distance reaches 2 * radius + block.
    const long long needed = 2 * radius + block + spread - 1;
    const long long lines = (needed + g.sliceStep - 1) / g.sliceStep;
    return static_cast<int>(std::max<long long>(1, std::min<long long>(lines, g.lineCount)));
}

namespace {

struct CountingVisitor {
    long long total = 0;
    void move(const Vec3<int>&, const Vec3<int>&) {}
    bool reference(const Vec3<int>&, int) {
        ++total;
        return true;
    }
    void rowDone(int) {}
};

} // namespace

long long countReferencePositions(const Parameters& params, const StageGeometry& g) {
    CountingVisitor counter;
    for (int line = 0; line < g.lineCount; ++line) walkGridLine(params, g, line, counter);
    return counter.total;
}

bool StageControl::shouldStop() {
    if (_kill.load(std::memory_order_relaxed)) return true;
    if (!stageProgress().cancelRequested.load(std::memory_order_relaxed)) return false;
    _cancelled.store(true);
    return true;
}

void StageControl::fail(Status status, const std::string& line, bool printed) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_hasFailure) {
        _hasFailure = true;
        _status = status;
        _line = line;
        _printed = printed;
    }
    _kill.store(true);
}

bool StageControl::reportRecorded() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_hasFailure) return false;
    if (!_printed) reportFailure(_status, _line);
    _printed = true;
    return true;
}

namespace {

template <StageName S>
struct JobVisitor {
    const SliceJobContext& c;
    ThreadMemory<float>& tm;
    Vec3<int> slack; // grid-shift spread per axis: the room a box leaves below its need

    // The job's own buffers follow the references (coverWindow), not the walk.
    void move(const Vec3<int>&, const Vec3<int>&) {}

    // Makes the job's boxes hold the search window of origin.
    void cover(const Vec3<int>& origin) {
        const Vec3<int>& r = c.params.searchRadius;
        const Vec3<int>& maxPos = c.geometry.maxPos;
        const Vec3<int> lo{std::max(origin.x - r.x, 0), std::max(origin.y - r.y, 0),
                           std::max(origin.z - r.z, 0)};
        const Vec3<int> hi{std::min(origin.x + r.x, maxPos.x), std::min(origin.y + r.y, maxPos.y),
                           std::min(origin.z + r.z, maxPos.z)};
        tm.collHTWie->coverWindow(c.noisy, lo, hi, slack, maxPos, c.params.blockSize,
                                  c.meta.forward, c.meta.forwardKind, tm.tempMemory);
        if (S == Wie)
            tm.collWie->coverWindow(*c.basicEstimate, lo, hi, slack, maxPos, c.params.blockSize,
                                    c.meta.forward, c.meta.forwardKind, tm.tempMemory);
    }
    // The blocks that the search window of the next reference along x adds
    // to this one's: fetched while this reference is filtered.
    void prefetchNext(const Vec3<int>& origin) {
        const Vec3<int>& r = c.params.searchRadius;
        const Vec3<int>& maxPos = c.geometry.maxPos;
        const Vec3<int> first{origin.x + r.x + 1, std::max(origin.y - r.y, 0),
                              std::max(origin.z - r.z, 0)};
        const Vec3<int> last{std::min(origin.x + c.params.step.x + r.x, maxPos.x),
                             std::min(origin.y + r.y, maxPos.y),
                             std::min(origin.z + r.z, maxPos.z)};
        (S == HT ? tm.collHTWie : tm.collWie)->prefetch(first, last);
    }
    bool reference(const Vec3<int>& origin, int index) {
        if (c.control.shouldStop()) return false;
        if (!c.geometry.shareCollections) cover(origin);
        prefetchNext(origin);
        processReferenceLocation<S, float>(
            origin, c.params, c.meta, c.distanceBias, c.K3fT3, c.localVar, index, *tm.collHTWie,
            c.output, c.weights, tm.memory, tm.tempMemory,
            S == HT ? tm.collHTWie.get() : tm.collWie.get(), c.storage,
            c.factored != nullptr && c.factored->valid() ? c.factored : nullptr);
        return true;
    }
    void rowDone(int count) {
        if (count > 0) stageProgress().done.fetch_add(count, std::memory_order_relaxed);
    }
};

const char* const kWorkingMemoryMessage = "Error: could not allocate working memory";
const char* const kBlockMemoryMessage = "Failed to allocate block memory";

void failPrinted(StageControl& control, const char* message) {
    reportFailure(Status::OutOfMemory, message);
    control.fail(Status::OutOfMemory, message, true);
}

template <StageName S>
void runSliceJobUnguarded(const SliceJobContext& c, int job, int numThreads) {
    if (c.control.shouldStop()) return;
    ThreadMemory<float> tm;
    tm.memory = allocateMemory<float>(c.params);
    tm.tempMemory = createTempMemory<float>(c.params);
    if (!tm.memory.valid || !tm.tempMemory.valid)
        return failPrinted(c.control, kWorkingMemoryMessage);

    const Parameters& p = c.params;
    const Vec3<int> slack{shiftSpread(p.gridShift.x, p.gridShiftCount.x),
                          shiftSpread(p.gridShift.y, p.gridShiftCount.y),
                          shiftSpread(p.gridShift.z, p.gridShiftCount.z)};
    if (c.geometry.shareCollections) {
        tm.collHTWie = c.collHTWie;
        tm.collWie = c.collWie;
    } else {
        tm.collHTWie = std::make_shared<BlockCollection<float>>();
        tm.collWie = std::make_shared<BlockCollection<float>>();
        const bool windowed[3] = {p.splitBlockExtraction[0] != 0, p.splitBlockExtraction[1] != 0,
                                  p.splitBlockExtraction[2] != 0};
        const Vec3<int> capacity =
            windowCapacity(p.imageSize, p.blockSize, windowed, p.searchRadius, slack);
        if (!tm.collHTWie->allocateRing(capacity, p.blockSize))
            return failPrinted(c.control, kBlockMemoryMessage);
        if (S == Wie && !tm.collWie->allocateRing(capacity, p.blockSize))
            return failPrinted(c.control, kBlockMemoryMessage);
    }
    VEXA_CHECK(tm.collHTWie && tm.collWie, "job block buffers exist");

    JobVisitor<S> visitor{c, tm, slack};
    if (c.schedule != nullptr) {
        LineSchedule& s = *c.schedule;
        for (;;) {
            const int seen = s.completionCount();
            const int chunk = s.take();
            if (chunk == -1) return;
            if (chunk == -2) { // another job walks a neighbour of the next odd chunk
                if (c.control.shouldStop()) return;
                s.waitForProgress(seen);
                continue;
            }
            const int first = chunk * s.chunkLines;
            const int last = std::min(first + s.chunkLines, c.geometry.lineCount);
            for (int line = first; line < last; ++line)
                if (!walkGridLine(c.params, c.geometry, line, visitor)) return;
            s.complete(chunk, [&](int lowest) {
                if (c.finaliser)
                    c.finaliser->linesDone(std::min(lowest * s.chunkLines, c.geometry.lineCount),
                                           c.output, c.weights, c.noisy);
            });
        }
    }
    int begin = 0, end = 0;
    jobLineRange(c.geometry.lineCount, numThreads, job, begin, end);
    // One job walks every line in order and finalises behind itself.
    const bool inOrder = c.finaliser != nullptr && begin == 0 && end == c.geometry.lineCount;
    for (int line = begin; line < end; ++line) {
        if (!walkGridLine(c.params, c.geometry, line, visitor)) return;
        if (inOrder) c.finaliser->linesDone(line + 1, c.output, c.weights, c.noisy);
    }
}

} // namespace

template <StageName S>
void runSliceJob(const SliceJobContext& context, int job, int numThreads) {
    try {
        runSliceJobUnguarded<S>(context, job, numThreads);
    } catch (const CheckFailure& failure) {
        context.control.fail(Status::Internal,
                             std::string("Internal check failed: ") + failure.text, false);
    } catch (const std::bad_alloc&) {
        failPrinted(context.control, kWorkingMemoryMessage);
    } catch (const std::exception& e) {
        context.control.fail(Status::Internal, std::string("Internal error: ") + e.what(), false);
    } catch (...) {
        context.control.fail(Status::Internal, "Internal error: unknown exception in a job", false);
    }
}

template void runSliceJob<HT>(const SliceJobContext&, int, int);
template void runSliceJob<Wie>(const SliceJobContext&, int, int);

} // namespace vexa
