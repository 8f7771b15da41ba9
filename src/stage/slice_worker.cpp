#include "stage/slice_worker.h"

#include <climits>
#include <cmath>
#include <new>

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
    Vec3<int> boxRadius;

    void move(const Vec3<int>& position, const Vec3<int>& step) {
        if (c.geometry.shareCollections) return; // the whole volume is buffered
        moveCollections<S, float>(position, step, boxRadius, c.params.blockSize, c.meta.forward,
                                  tm.tempMemory, c.noisy, c.basicEstimate, c.meta.forwardKind,
                                  tm.collHTWie.get(), tm.collWie.get());
    }
    bool reference(const Vec3<int>& origin, int index) {
        if (c.control.shouldStop()) return false;
        processReferenceLocation<S, float>(
            origin, c.params, c.meta, c.distanceBias, c.K3fT3, c.localVar, index, *tm.collHTWie,
            c.output, c.weights, c.aggregationMutex, tm.memory, tm.tempMemory,
            S == HT ? tm.collHTWie.get() : tm.collWie.get(), c.storage);
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

    const Vec3<int> boxRadius = c.geometry.extractRadius + Vec3<int>{1, 1, 1};
    if (c.geometry.shareCollections) {
        tm.collHTWie = c.collHTWie;
        tm.collWie = c.collWie;
    } else {
        tm.collHTWie = std::make_shared<BlockCollection<float>>();
        tm.collWie = std::make_shared<BlockCollection<float>>();
        if (!tm.collHTWie->allocate(c.params.imageSize, c.params.blockSize, boxRadius))
            return failPrinted(c.control, kBlockMemoryMessage);
        if (S == Wie && !tm.collWie->allocate(c.params.imageSize, c.params.blockSize, boxRadius))
            return failPrinted(c.control, kBlockMemoryMessage);
    }
    VEXA_CHECK(tm.collHTWie && tm.collWie, "job block buffers exist");

    int begin = 0, end = 0;
    jobLineRange(c.geometry.lineCount, numThreads, job, begin, end);
    JobVisitor<S> visitor{c, tm, boxRadius};
    for (int line = begin; line < end; ++line)
        if (!walkGridLine(c.params, c.geometry, line, visitor)) return;
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
