// The exported C entry points: each works on its own copies of the caller's
// structures, prepares the transforms and runs one stage.
#include <new>
#include <string>
#include <thread>

#include "core/check.h"
#include "core/image_data.h"
#include "core/report.h"
#include "interface/entry_steps.h"
#include "interface/progress.h"
#include "interface/vexa_loop.h"
#include "vexa.h"

namespace vexa {

namespace {

const char* axisName(int a) {
    return a == 0 ? "x" : (a == 1 ? "y" : "z");
}

std::string nullPointerMessage(const std::string& name, const std::string& allowed) {
    return "Error: invalid argument " + name +
           ": a null pointer was passed; allowed values: " + allowed;
}

} // namespace

std::string repairShiftTables(Parameters& params) {
    int* counts[3] = {&params.gridShiftCount.x, &params.gridShiftCount.y, &params.gridShiftCount.z};
    const int** tables[3] = {&params.gridShift.x, &params.gridShift.y, &params.gridShift.z};
    std::string problem;
    for (int a = 0; a < 3; ++a) {
        if (*counts[a] <= 1) {
            *counts[a] = 1;
            *tables[a] = ZERO;
        } else if (*tables[a] == nullptr && problem.empty()) {
            problem = nullPointerMessage(std::string("params.gridShift.") + axisName(a) +
                                             " (gridShiftCount." + axisName(a) + " = " +
                                             std::to_string(*counts[a]) + ")",
                                         "a table of gridShiftCount." + std::string(axisName(a)) +
                                             " ints, or a count of 1 or less to use no shift");
        }
    }
    return problem;
}

TransformSource chooseTransformSource(const Transforms<float>& transforms,
                                      const Parameters& params) {
    if (transforms.forward.x != nullptr) return TransformSource::Caller;
    const Vec3<int>& b = params.blockSize;
    if (b.x == 4) {
        if (b.y == 4 && b.z == 4) return TransformSource::Default3D;
    } else if (b.x == 8) {
        if (b.y == 8 && b.z == 1) return TransformSource::Default2D;
    }
    throw MissingTransformException();
}

void fillDefaultGroupTables(Transforms<float>& transforms) {
    if (transforms.groupForward == nullptr) {
        transforms.groupForward = HAAR_NL_FWD;
        transforms.groupInverse = HAAR_NL_INV;
    }
}

std::string checkCallerTransforms(const Transforms<float>& t, const Parameters& params) {
    const float* const fwd[3] = {t.forward.x, t.forward.y, t.forward.z};
    const float* const inv[3] = {t.inverse.x, t.inverse.y, t.inverse.z};
    const int sizes[3] = {params.blockSize.x, params.blockSize.y, params.blockSize.z};
    for (int a = 0; a < 3; ++a) {
        const std::string n = std::to_string(sizes[a]);
        const std::string allowed =
            "a matrix of " + n + " x " + n + " floats (blockSize." + axisName(a) + " = " + n + ")";
        if (fwd[a] == nullptr)
            return nullPointerMessage(std::string("transforms.forward.") + axisName(a), allowed);
        if (inv[a] == nullptr)
            return nullPointerMessage(std::string("transforms.inverse.") + axisName(a), allowed);
    }
    if (t.window == nullptr)
        return nullPointerMessage("transforms.window",
                                  "blockSize.x*blockSize.y*blockSize.z aggregation weights");
    if (t.groupInverse == nullptr)
        return nullPointerMessage("transforms.groupInverse",
                                  "a table indexed by group length, like groupForward");
    // The built-in group tables end at length 64; never index past them.
    if (t.groupForward == HAAR_NL_FWD && params.maxGroupSize > 64)
        return "Invalid parameter: maxGroupSize = " + std::to_string(params.maxGroupSize) +
               "; with the built-in group tables it must be between 1 and 64";
    // The stage forms groups of every power of two up to maxGroupSize.
    for (long long s = 2; s <= params.maxGroupSize; s *= 2) {
        const std::string len = std::to_string(s);
        const std::string allowed = "a " + len + " x " + len +
                                    " matrix at every power of two up to maxGroupSize (" +
                                    std::to_string(params.maxGroupSize) + ")";
        if (t.groupForward[s] == nullptr)
            return nullPointerMessage("transforms.groupForward[" + len + "]", allowed);
        if (t.groupInverse[s] == nullptr)
            return nullPointerMessage("transforms.groupInverse[" + len + "]", allowed);
    }
    return "";
}

TransformsMeta<float> prepareTransforms(StageName stage, TransformSource source,
                                        const Transforms<float>& transforms,
                                        const Parameters& params) {
    switch (source) {
    case TransformSource::Default3D: {
        // Taken as is: every axis uses the plain product, no group kinds.
        const Transforms<float>& d = DEFAULT_TRANSFORMS_3D;
        TransformsMeta<float> meta;
        meta.forward = d.forward;
        meta.inverse = d.inverse;
        meta.groupForward = d.groupForward;
        meta.groupInverse = d.groupInverse;
        meta.window = d.window;
        meta.forwardKind = ARB_TRANSFORMS;
        meta.inverseKind = {TransformsMetas::ARBITRARY_INV, TransformsMetas::ARBITRARY_INV,
                            TransformsMetas::ARBITRARY_INV};
        meta.groupForwardKind = nullptr;
        meta.groupInverseKind = nullptr;
        return meta;
    }
    case TransformSource::Default2D:
        return getTransformMeta(stage == HT ? DEFAULT_TRANSFORMS_2D : DEFAULT_TRANSFORMS_2D_WIE,
                                params);
    case TransformSource::Caller:
    default:
        return getTransformMeta(transforms, params);
    }
}

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

template <StageName S>
int runEntry(const float* noisy, const float* psd, const VexaParameters& abiParams,
             const VexaTransforms& abiTransforms, const float* basicEstimate, float* output,
             BlockMatchStorage* storage) {
    beginCall();
    try {
        Parameters params = parametersFromAbi(abiParams);
        Transforms<float> transforms = transformsFromAbi(abiTransforms);

        ImageData<float> noisyView(noisy, params.imageSize);
        ImageDataMutable<float> outputView(output, params.imageSize);
        ImageData<float> basicView(basicEstimate, params.imageSize);

        const std::string shiftProblem = repairShiftTables(params);
        const TransformSource source = chooseTransformSource(transforms, params);

        const char* volume = "a buffer of imageSize.x*imageSize.y*imageSize.z floats";
        if (noisy == nullptr) return invalid(nullPointerMessage("noisy", volume));
        if (psd == nullptr)
            return invalid(
                nullPointerMessage("psd", "a buffer of psdSize.x*psdSize.y*psdSize.z floats"));
        if (S == Wie && basicEstimate == nullptr)
            return invalid(nullPointerMessage("basicEstimate", volume));
        if (output == nullptr) return invalid(nullPointerMessage("output", volume));
        if (!shiftProblem.empty()) return invalid(shiftProblem);
        if (source == TransformSource::Caller) {
            fillDefaultGroupTables(transforms);
            const std::string problem = checkCallerTransforms(transforms, params);
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
