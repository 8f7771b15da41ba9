#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "blocks/block_collection.h"
#include "core/image_data.h"
#include "core/memory.h"
#include "core/parameters.h"
#include "core/report.h"
#include "core/vec3.h"
#include "psd/factored_noise.h"
#include "stage/slice_finaliser.h"
#include "transforms/transform_meta.h"
#include "vexa.h"

namespace vexa {

// Reference grid and block-buffer layout of one stage, fixed before the jobs run.
struct StageGeometry {
    Vec3<int> maxPos;        // largest block origin per axis
    Vec3<int> extractRadius; // searchRadius on windowed axes, imageSize on whole ones
    Vec3<int> gridStrides;   // (1, nx, nx*ny) of the reference grid
    Vec3<int> sliceMove;     // buffer move from one grid line of the cut axis to the next
    bool is3D;
    int sliceCount; // extent of the cut axis (z for volumes, y for images)
    int sliceStep;
    bool wholeAxis;        // the buffers cover the whole cut axis
    bool shareCollections; // the buffers cover the whole volume on every axis
    int lineCount;         // grid lines of the cut axis
    long long referenceCount;
};

// Grid positions 0, sliceStep, ... below sliceCount + sliceStep.
int gridLineCount(int sliceCount, int sliceStep);

// The run [begin, end) of grid lines of job `job` out of numThreads.
void jobLineRange(int lineCount, int numThreads, int job, int& begin, int& end);

// Expects parameters that passed the stage's validation.
StageGeometry computeStageGeometry(const Parameters& params);

// Walks one grid line: the visitor is told every buffer move
// (move(position, step)), every processed reference (reference(origin,
// referenceIndex), returning false to stop the walk) and the number of
// references of every finished row (rowDone(count)). Returns false when the
// visitor stopped it.
template <class Visitor>
bool walkGridLine(const Parameters& params, const StageGeometry& g, int line, Visitor& visitor) {
    const Vec3<int>& step = params.step;
    const Vec3<int>& size = params.imageSize;
    const int p = g.sliceStep * line;
    if (g.is3D)
        visitor.move(Vec3<int>{0, 0, std::min(p, g.maxPos.z)}, g.sliceMove);
    else
        visitor.move(Vec3<int>{0, p, 0}, g.sliceMove);

    auto walkRow = [&](int y, int z) {
        int processed = 0;
        const int gy = y / step.y, gz = z / step.z;
        const int shiftX = params.gridShift.x[gz % params.gridShiftCount.x];
        const int shiftZ = params.gridShift.z[gy % params.gridShiftCount.z];
        const int rz = std::max(z - shiftZ, 0);
        for (int x = 0; x < size.x + step.x; x += step.x) {
            const int gx = x / step.x;
            const int rx = std::max(x - shiftX, 0);
            const int ry = std::max(y - params.gridShift.y[gx % params.gridShiftCount.y], 0);
            if (!(rx < g.maxPos.x + step.x && ry < g.maxPos.y + step.y && rz < g.maxPos.z + step.z))
                continue;
            const Vec3<int> origin{std::min(rx, g.maxPos.x), std::min(ry, g.maxPos.y),
                                   std::min(rz, g.maxPos.z)};
            // The buffers follow the shifted reference, so any shift stays covered.
            visitor.move(origin, Vec3<int>{step.x, 0, 0});
            // Only a match store reads the index, and it is refused for grids past int.
            const long long index = gx + static_cast<long long>(gy) * g.gridStrides.y +
                                    static_cast<long long>(gz) * g.gridStrides.z;
            if (!visitor.reference(origin, index <= INT_MAX ? static_cast<int>(index) : -1)) {
                visitor.rowDone(processed);
                return false;
            }
            ++processed;
        }
        visitor.rowDone(processed);
        return true;
    };

    if (!g.is3D) return walkRow(p, 0);
    for (int y = 0; y < size.y + step.y; y += step.y) {
        visitor.move(Vec3<int>{0, y, p}, Vec3<int>{0, step.y, 0});
        if (!walkRow(y, p)) return false;
    }
    return true;
}

// Number of reference positions a whole stage processes.
long long countReferencePositions(const Parameters& params, const StageGeometry& g);

// Failure record and stop flag shared by the jobs of one stage. The first
// failure wins; every job polls shouldStop once per reference position.
class StageControl {
  public:
    // True after a failure or a cancel request (which it then records).
    bool shouldStop();
    // printed: the job already wrote its message (allocation failures).
    void fail(Status status, const std::string& line, bool printed);
    bool failed() const { return _kill.load(); }
    bool cancelled() const { return _cancelled.load(); }
    // Prints the first failure unless its job did; true when there was one.
    bool reportRecorded();

  private:
    std::atomic<bool> _kill{false};
    std::atomic<bool> _cancelled{false};
    std::mutex _mutex;
    bool _hasFailure = false;
    bool _printed = false;
    Status _status = Status::Ok;
    std::string _line;
};

// A job's working memory and its holds on the block buffers; the members are
// released in the reverse order of their declaration: collWie, collHTWie,
// tempMemory, memory.
template <class T>
struct ThreadMemory {
    Memory<T> memory;
    TempMemory<T> tempMemory;
    std::shared_ptr<BlockCollection<T>> collHTWie;
    std::shared_ptr<BlockCollection<T>> collWie;
};

// Load balance without losing reproducibility. The grid lines are cut into
// chunks wide enough that two chunks with one chunk between them never
// aggregate into the same voxel. Even chunks may run at any time; an odd chunk
// runs once both its even neighbours are finished. Jobs take whatever is free
// (an odd chunk when one is ready, else the next even one), so they idle only
// at the very end, and every voxel still receives its contributions in the
// same order whatever the timing: an even chunk's before its odd neighbour's,
// and within a chunk in walk order.
struct LineSchedule {
    int chunkLines = 1;
    int chunkCount = 0;
    std::atomic<int> nextEven{0}; // next even chunk to hand out
    std::atomic<int> nextOdd{1};  // next odd chunk to hand out
    std::unique_ptr<std::atomic<bool>[]> done;
    // Lowest chunk not yet finished, and how far beyond it an even chunk may
    // be handed out (0: no limit), so that the lines in flight stay within
    // what a ring of weights holds.
    std::atomic<int> lowestUnfinished{0};
    int aheadLimit = 0;
    std::mutex lowestMutex;
    // Chunks completed so far (under lowestMutex); a job with nothing ready
    // sleeps until it changes instead of spinning.
    int completions = 0;
    std::condition_variable progressed;

    // Sets the chunking; done flags all false, no limit ahead.
    void reset(int lines, int linesPerChunk);
    // Marks chunk finished and returns the new lowest unfinished chunk; the
    // caller's finish(lowest) runs before later chunks can be handed out.
    template <class Finish>
    void complete(int chunk, Finish&& finish) {
        std::lock_guard<std::mutex> lock(lowestMutex);
        done[chunk].store(true, std::memory_order_release);
        int low = lowestUnfinished.load();
        while (low < chunkCount && done[low].load(std::memory_order_acquire)) ++low;
        finish(low);
        lowestUnfinished.store(low);
        ++completions;
        progressed.notify_all();
    }
    int completionCount() {
        std::lock_guard<std::mutex> lock(lowestMutex);
        return completions;
    }
    // Returns once a chunk completed after `seen` was read, or after a short
    // while, so that a waiting job still sees a stop request in time.
    void waitForProgress(int seen) {
        std::unique_lock<std::mutex> lock(lowestMutex);
        progressed.wait_for(lock, std::chrono::milliseconds(20),
                            [&] { return completions != seen; });
    }
    bool finished(int chunk) const {
        return chunk < 0 || chunk >= chunkCount || done[chunk].load(std::memory_order_acquire);
    }
    // Next chunk for a job: >= 0 a chunk to walk, -1 nothing left, -2 nothing
    // ready yet (an odd chunk waits for a neighbour that is being walked).
    int take();
};

// Grid lines per chunk: the fewest for which no two chunks with one chunk
// between them write the same voxel (from the search radius, block, step and
// the spread of the grid shifts along the cut axis). Small chunks keep the
// wait for the last odd chunk short.
int scheduleChunkLines(const Parameters& params, const StageGeometry& g);

// Everything a job reads or accumulates into; built by the stage loop.
struct SliceJobContext {
    const Parameters& params;
    const TransformsMeta<float>& meta;
    const StageGeometry& geometry;
    const ImageData<float>& noisy;
    const ImageData<float>* basicEstimate;
    const float* distanceBias;
    const float* K3fT3;
    const float* localVar;
    // The noise table in factored form; null or empty: K3fT3 alone.
    const FactoredNoise* factored;
    // The stage's buffers, used only when geometry.shareCollections.
    std::shared_ptr<BlockCollection<float>> collHTWie;
    std::shared_ptr<BlockCollection<float>> collWie;
    ImageDataMutable<float>& output;
    ImageDataMutable<float>& weights;
    BlockMatchStorage* storage;
    StageControl& control;
    // Hands out chunks of grid lines to whichever job is free (see
    // LineSchedule). Null: every job walks its fixed run of jobLineRange.
    LineSchedule* schedule = nullptr;
    // Normalises finished slices early (weights held in a ring); null: the
    // stage normalises the whole volume after the walk.
    SliceFinaliser* finaliser = nullptr;
};

// One job of the stage's parallel loop (step 4 of docs/design.md): walks its
// run of grid lines. Never throws; failures go to context.control.
template <StageName S>
void runSliceJob(const SliceJobContext& context, int job, int numThreads);

} // namespace vexa
