#include "interface/vexa_loop.h"

#include <string>

#include "core/report.h"

namespace vexa {

namespace {

std::string stepMessage(const Vec3<int>& step) {
    return "Error: invalid argument step = (" + std::to_string(step.x) + ", " +
           std::to_string(step.y) + ", " + std::to_string(step.z) +
           "): the check \"params.step > 0\" failed; allowed values: every component at least 1";
}

} // namespace

template <StageName S, class T>
bool vexaLoop(ImageData<T>& noisy, const float* psd, const Parameters& params,
              const TransformsMeta<T>& meta, ImageDataMutable<T>& output,
              BlockMatchStorage* storage, ImageData<T>* basicEstimate) {
    // The stage owns the kind tables from here on, whatever happens.
    TransformsMeta<T> owned = meta;
    struct KindTables {
        TransformsMeta<T>& m;
        ~KindTables() { releaseGroupKinds(m); }
    } release{owned};

    if (params.step.x <= 0 || params.step.y <= 0 || params.step.z <= 0) {
        reportFailure(Status::InvalidArgument, stepMessage(params.step));
        return false;
    }
    reportFailure(Status::Internal, "Error: the stage driver is not built yet");
    return false;
}

template bool vexaLoop<HT, float>(ImageData<float>&, const float*, const Parameters&,
                                  const TransformsMeta<float>&, ImageDataMutable<float>&,
                                  BlockMatchStorage*, ImageData<float>*);
template bool vexaLoop<Wie, float>(ImageData<float>&, const float*, const Parameters&,
                                   const TransformsMeta<float>&, ImageDataMutable<float>&,
                                   BlockMatchStorage*, ImageData<float>*);

} // namespace vexa
