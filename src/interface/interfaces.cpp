// The exported C entry points: each works on its own copies of the caller's
// structures, checks them, prepares the transforms and runs one stage (step 2
// of docs/design.md).
#include <atomic>
#include <new>
#include <string>
#include <thread>

#include "core/check.h"
#include "core/image_data.h"
#include "core/report.h"
#include "stage/progress.h"
#include "stage/validation.h"
#include "stage/vexa_loop.h"
#include "transforms/transform_choice.h"
#include "vexa.h"

namespace vexa {

namespace {

void beginCall() {
    beginReportCall();
    StageProgress& progress = stageProgress();
    progress.done.store(0);
    progress.total.store(0);
    progress.cancelRequested.store(false);
}

int finalStatus(bool ran) {
    const Status recorded = reportedStatus();
    // A stage that finished while a job reported a failure has an incomplete
    // output; the host must not take it for an estimate.
    if (ran) return static_cast<int>(recorded);
    return recorded == Status::Ok ? static_cast<int>(Status::Internal) : static_cast<int>(recorded);
}

int invalid(const std::string& message) {
    reportFailure(Status::InvalidArgument, message);
    return static_cast<int>(Status::InvalidArgument);
}

// The entry points are not re-entrant: the stage uses the process-wide pool
// and progress record. A call made while another one runs is turned away
// before it reads or writes anything.
std::atomic<bool> callRunning{false};

class CallGuard {
  public:
    CallGuard() : _acquired(!callRunning.exchange(true)) {}
    ~CallGuard() {
        if (_acquired) callRunning.store(false);
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    bool acquired() const { return _acquired; }

  private:
    bool _acquired;
};

const char* const kBusyMessage =
    "Error: another vexa stage call is running in this process; the entry points are not "
    "re-entrant, so this call was rejected and its output left untouched";

template <StageName S>
int runEntry(const float* noisy, const float* psd, const VexaParameters& abiParams,
             const VexaTransforms& abiTransforms, const float* basicEstimate, float* output,
             BlockMatchStorage* storage) {
    const CallGuard guard;
    if (!guard.acquired()) {
        reportRejectedCall(kBusyMessage);
        return static_cast<int>(Status::Busy);
    }
    beginCall();
    try {
        Parameters params = parametersFromAbi(abiParams);
        Transforms<float> transforms = transformsFromAbi(abiTransforms);

        ImageData<float> noisyView(noisy, params.imageSize);
        ImageDataMutable<float> outputView(output, params.imageSize);
        ImageData<float> basicView(basicEstimate, params.imageSize);

        const std::string shiftProblem = repairShiftTables(params);
        const TransformSource source = chooseTransformSource(transforms, params);

        const std::string bufferProblem = checkEntryBuffers(S, noisy, psd, basicEstimate, output);
        if (!bufferProblem.empty()) return invalid(bufferProblem);
        if (!shiftProblem.empty()) return invalid(shiftProblem);
        // The parameters come first: nothing is read through their sizes or
        // allocated from them before they are known to be sound.
        const std::string parameterProblem = validateParameters(S, params);
        if (!parameterProblem.empty()) return invalid(parameterProblem);
        clampToImage(params);
        if (source == TransformSource::Caller) {
            fillDefaultGroupTables(transforms);
            const std::string problem = checkTransformSet(transforms, params);
            if (!problem.empty()) return invalid(problem);
        }

        const TransformsMeta<float> meta = prepareTransforms(S, source, transforms, params);
        const bool ran = vexaLoop<S, float>(noisyView, psd, params, meta, outputView, storage,
                                            S == Wie ? &basicView : nullptr);
        return finalStatus(ran);
    } catch (const MissingTransformException&) {
        throw;
    } catch (const CheckFailure& failure) {
        reportFailure(Status::Internal, std::string("Internal check failed: ") + failure.text);
    } catch (const std::bad_alloc&) {
        reportFailure(Status::OutOfMemory, "Error: could not allocate working memory");
    } catch (const std::exception& e) {
        reportFailure(Status::Internal, std::string("Internal error: ") + e.what());
    } catch (...) {
        reportFailure(Status::Internal, "Internal error: unknown exception");
    }
    return finalStatus(false);
}

} // namespace

} // namespace vexa

extern "C" {

VEXA_API int vexaInterfaceHT(const float* noisy, const float* psd, VexaParameters params,
                             VexaTransforms transforms, float* output, BlockMatchStorage* storage) {
    return vexa::runEntry<vexa::HT>(noisy, psd, params, transforms, nullptr, output, storage);
}

VEXA_API int vexaInterfaceWie(const float* noisy, const float* psd, VexaParameters params,
                              VexaTransforms transforms, const float* basicEstimate, float* output,
                              BlockMatchStorage* storage) {
    return vexa::runEntry<vexa::Wie>(noisy, psd, params, transforms, basicEstimate, output,
                                     storage);
}

VEXA_API void vexaGetProgress(int64_t* done, int64_t* total) {
    const vexa::StageProgress& progress = vexa::stageProgress();
    if (done != nullptr) *done = progress.done.load();
    if (total != nullptr) *total = progress.total.load();
}

VEXA_API void vexaRequestCancel(void) {
    vexa::stageProgress().cancelRequested.store(true);
}

VEXA_API const char* vexaLastMessage(void) {
    return vexa::reportedMessages();
}

VEXA_API const char* vexaVersion(void) {
    return VEXA_VERSION_STRING;
}

VEXA_API int vexaDefaultThreadCount(void) {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

} // extern "C"
