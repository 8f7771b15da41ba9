#include "stage/vexa_loop.h"

#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "blocks/block_collection.h"
#include "core/allocator.h"
#include "core/check.h"
#include "core/memory.h"
#include "core/report.h"
#include "matching/distance_bias.h"
#include "psd/factored_noise.h"
#include "psd/noise_tables.h"
#include "stage/progress.h"
#include "stage/slice_worker.h"
#include "stage/stage_steps.h"
#include "stage/validation.h"
#include "threading/thread_pool.h"

namespace vexa {

namespace {

// Everything the stage owns; the destructor is the release sequence, so every
// exit runs it in the same order.
template <class T>
struct StageResources {
    TransformsMeta<T> meta;
    bool poolLaunched = false;
    TempMemory<T> temp;
    ImageDataMutable<T> weights;
    T* distanceBias = nullptr;
    T* localVar = nullptr;
    T* K3fT3 = nullptr;
    FactoredNoise factored;
    std::shared_ptr<BlockCollection<T>> collHTWie;
    std::shared_ptr<BlockCollection<T>> collWie;
    // A store read back (reuseMatches) keeps its count if the stage fails.
    BlockMatchStorage* reusedStorage = nullptr;
    int reusedReferenceCount = 0;
    bool succeeded = false;

    explicit StageResources(const TransformsMeta<T>& m) : meta(m) {}
    StageResources(const StageResources&) = delete;
    StageResources& operator=(const StageResources&) = delete;
    ~StageResources() {
        if (!succeeded && reusedStorage) reusedStorage->referenceCount = reusedReferenceCount;
        cFree(distanceBias);
        cFree(localVar);
        cFree(K3fT3);
        releaseGroupKinds(meta);
        if (poolLaunched) ThreadPool::THREAD_POOL.clearPool();
        collWie.reset();
        collHTWie.reset();
        weights.release();
        // temp goes last, with the members.
    }
};

bool fail(Status status, const std::string& line) {
    reportFailure(status, line);
    return false;
}

const char* const kVariancesMessage = "Could not allocate memory for variances";
const char* const kBlockMemoryMessage = "Failed to allocate block memory";

template <StageName S>
bool runStage(ImageData<float>& noisy, const float* psd, const Parameters& params,
              StageResources<float>& res, ImageDataMutable<float>& output,
              BlockMatchStorage* storage, ImageData<float>* basicEstimate) {
    const TransformsMeta<float>& meta = res.meta;

    // Step 3 of docs/design.md. Every parameter is checked before any work;
    // output stays untouched.
    std::string problem = validateStageInputs(S, noisy, psd, params, meta, output, basicEstimate);
    if (!problem.empty()) return fail(Status::InvalidArgument, problem);
    const StageGeometry geometry = computeStageGeometry(params);
    problem = validateMatchStore(params, geometry, storage);
    if (!problem.empty()) return fail(Status::InvalidArgument, problem);

    StageProgress& progress = stageProgress();
    progress.done.store(0);
    progress.total.store(countReferencePositions(params, geometry));

    // The pool.
    try {
        res.poolLaunched = true; // threads started before a failure must be joined
        ThreadPool::THREAD_POOL.launchPool(params.numThreads);
    } catch (const std::system_error& e) {
        return fail(Status::Threads,
                    std::string("Could not start the worker threads: ") + e.what() +
                        " (numThreads = " + std::to_string(params.numThreads) + ")");
    }

    // The stage thread's scratch.
    res.temp = createTempMemory<float>(params);
    if (!res.temp.valid)
        return fail(Status::OutOfMemory, "Error: could not allocate working memory");

    // How the lines are walked: one job in order, or chunks handed out to
    // whichever job is free (a deterministic run: fixed runs of lines per
    // job, each into volumes of its own). A job's buffers slide along z
    // within a chunk and are placed afresh at the next one.
    const int threads = ThreadPool::THREAD_POOL.getNumThreads();
    const bool deterministic = params.deterministic && threads > 1;
    const bool scheduled = !deterministic && threads > 1;
    LineSchedule schedule;
    schedule.reset(geometry.lineCount, scheduleChunkLines(params, geometry));
    int linesInFlight = geometry.lineCount;
    if (threads == 1) {
        linesInFlight = 1;
    } else if (scheduled) {
        // Even chunks run at most this far ahead of the lowest unfinished one.
        schedule.aheadLimit = threads + 1;
        linesInFlight = (schedule.aheadLimit + 1) * schedule.chunkLines;
    }

    // The accumulated weights: a ring of slices when the lines finish in an
    // order that lets the slices behind them be normalised early.
    SliceFinaliser finaliser(params, geometry, linesInFlight);
    res.weights._size = params.imageSize;
    const bool allocated =
        deterministic
            ? (res.weights = ImageDataMutable<float>::allocateZeroed(params.imageSize))._data !=
                  nullptr
            : finaliser.allocate(res.weights);
    if (!allocated) return fail(Status::OutOfMemory, "Failed to allocate memory for buffer.");

    // Noise tables and the matching correction.
    const Vec3<int> workSize = workingSize(params);
    res.distanceBias = static_cast<float*>(cMalloc(
        sizeof(float) * static_cast<std::size_t>(distanceBiasEntries(params.searchRadius))));
    computeK3fT3<float>(psd, params.psdSize, params.psdResampleSize, workSize, params.blockSize,
                        meta.forward, res.K3fT3);
    if (res.K3fT3 && res.distanceBias)
        computeLocalVar(res.K3fT3, workSize, params.blockSize.volume(), res.localVar);
    if (res.localVar == nullptr) return fail(Status::OutOfMemory, kVariancesMessage);
    // The group variances from the table's factored form (axis responses and
    // the PSD). Without the memory for it the full table serves.
    computeFactoredNoise(psd, params.psdSize, params.psdResampleSize, workSize, params.blockSize,
                         meta.forward, res.factored);
    if (!fillDistanceBias(S, params, workSize, res.K3fT3, res.temp, res.distanceBias))
        return fail(Status::OutOfMemory, kVariancesMessage);

    // The store's slots are being rewritten or read from here on.
    if (storage) {
        if (storage->reuseMatches != 0) {
            res.reusedStorage = storage;
            res.reusedReferenceCount = storage->referenceCount;
        }
        storage->referenceCount = 0;
    }

    // Buffers of the whole volume are extracted once and shared.
    res.collHTWie = std::make_shared<BlockCollection<float>>();
    res.collWie = std::make_shared<BlockCollection<float>>();
    if (geometry.shareCollections) {
        const Vec3<int> boxRadius = geometry.extractRadius + Vec3<int>{1, 1, 1};
        if (!res.collHTWie->extractInitial(noisy, {0, 0, 0}, params.blockSize, meta.forward,
                                           meta.forwardKind, true, res.temp, boxRadius))
            return fail(Status::OutOfMemory, kBlockMemoryMessage);
        if (S == Wie &&
            !res.collWie->extractInitial(*basicEstimate, {0, 0, 0}, params.blockSize, meta.forward,
                                         meta.forwardKind, true, res.temp, boxRadius))
            return fail(Status::OutOfMemory, kBlockMemoryMessage);
    }

    // The jobs (step 4). Jobs add into output and weights without a lock:
    // chunks walked at the same time never reach the same voxel, and
    // deterministic jobs each add into volumes of their own.
    StageControl control;
    // Without a schedule one job walks the lines in order: the result then
    // does not depend on where the chunks fall, so a volume cut into pieces
    // gives the same bits as the whole.
    // clang-format off
    SliceJobContext context{
        params,           meta,          geometry,     noisy,         basicEstimate,
        res.distanceBias, res.K3fT3,     res.localVar, &res.factored, res.collHTWie,
        res.collWie,      output,        res.weights,  storage,       control,
        scheduled ? &schedule : nullptr};
    // clang-format on
    context.finaliser = &finaliser;
    if (deterministic) {
        // Each job accumulates into volumes of its own, added in job order
        // afterwards: the order of every sum no longer depends on timing.
        std::vector<ImageDataMutable<float>> sums(threads), weights(threads);
        for (int job = 0; job < threads; ++job) {
            sums[job] = ImageDataMutable<float>::allocateZeroed(params.imageSize);
            weights[job] = ImageDataMutable<float>::allocateZeroed(params.imageSize);
            if (sums[job]._data == nullptr || weights[job]._data == nullptr)
                return fail(Status::OutOfMemory, "Failed to allocate memory for buffer.");
        }
        ThreadPool::THREAD_POOL.newLoopJob([&](int job) {
            // clang-format off
            const SliceJobContext context{
                params,           meta,          geometry,     noisy,         basicEstimate,
                res.distanceBias, res.K3fT3,     res.localVar, &res.factored, res.collHTWie,
                res.collWie,      sums[job],     weights[job], storage,       control,
                nullptr};
            // clang-format on
            runSliceJob<S>(context, job, threads);
        });
        for (int job = 0; job < threads; ++job) {
            addInto(output, sums[job]);
            addInto(res.weights, weights[job]);
        }
    } else {
        ThreadPool::THREAD_POOL.newLoopJob(
            [&context, threads](int job) { runSliceJob<S>(context, job, threads); });
    }

    // Step 6. Normalise also after a failed or cancelled loop, so that output
    // holds no 0/0; the result then says it is not an estimate.
    if (deterministic)
        normaliseOutput(output, res.weights, noisy);
    else
        finaliser.finishAll(output, res.weights, noisy);
    if (control.reportRecorded()) return false;
    if (control.cancelled()) return fail(Status::Cancelled, "Cancelled");
    // Finite inputs and parameters can still overflow float32 on the way
    // (an extreme sharpenAlpha, a transform set with huge entries): such an
    // output is never handed back as an estimate.
    const std::string overflow = firstNonFinite(output._data, output._size);
    if (!overflow.empty())
        return fail(Status::Internal,
                    "Error: the estimate is not finite at " + overflow +
                        "; the parameters or transforms overflow float32 arithmetic");

    // The store now describes this grid.
    if (storage) storage->referenceCount = static_cast<int>(geometry.referenceCount);
    res.succeeded = true;
    return true;
}

} // namespace

template <StageName S, class T>
bool vexaLoop(ImageData<T>& noisy, const float* psd, const Parameters& params,
              const TransformsMeta<T>& meta, ImageDataMutable<T>& output,
              BlockMatchStorage* storage, ImageData<T>* basicEstimate) {
    // The stage owns the kind tables from here on, whatever happens.
    StageResources<T> res(meta);
    try {
        return runStage<S>(noisy, psd, params, res, output, storage, basicEstimate);
    } catch (const CheckFailure& failure) {
        return fail(Status::Internal, std::string("Internal check failed: ") + failure.text);
    } catch (const std::bad_alloc&) {
        return fail(Status::OutOfMemory, "Error: could not allocate working memory");
    } catch (const std::exception& e) {
        return fail(Status::Internal, std::string("Internal error: ") + e.what());
    }
}

template bool vexaLoop<HT, float>(ImageData<float>&, const float*, const Parameters&,
                                  const TransformsMeta<float>&, ImageDataMutable<float>&,
                                  BlockMatchStorage*, ImageData<float>*);
template bool vexaLoop<Wie, float>(ImageData<float>&, const float*, const Parameters&,
                                   const TransformsMeta<float>&, ImageDataMutable<float>&,
                                   BlockMatchStorage*, ImageData<float>*);

} // namespace vexa
