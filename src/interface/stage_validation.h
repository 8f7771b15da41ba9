#pragma once

#include <string>

#include "core/image_data.h"
#include "interface/parameters.h"
#include "interface/slice_worker.h"
#include "interface/transforms.h"
#include "vexa.h"

namespace vexa {

// Largest thread count a stage accepts.
constexpr int kMaxStageThreads = 1024;

// Everything a stage checks before it does any work. Each returns "" when the
// inputs are usable, else one line naming the parameter and the allowed values.

// The step check comes first, then the sizes, buffers, transforms and the
// noise-spectrum parameters.
std::string validateStageInputs(StageName stage, const ImageData<float>& noisy, const float* psd,
                                const Parameters& params, const TransformsMeta<float>& meta,
                                const ImageDataMutable<float>& output,
                                const ImageData<float>* basicEstimate);

// The match store, when present: room for every group, a grid whose
// reference indexes stay inside the slots and, with reuseMatches, stored
// groups of this grid and parameters. Needs validated parameters.
std::string validateMatchStore(const Parameters& params, const StageGeometry& geometry,
                               const BlockMatchStorage* storage);

} // namespace vexa
