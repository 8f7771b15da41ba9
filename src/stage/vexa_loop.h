#pragma once

#include "core/image_data.h"
#include "core/parameters.h"
#include "transforms/transform_meta.h"
#include "vexa.h"

namespace vexa {

// Runs one stage over the whole volume; true when it ran to its end. Takes
// ownership of meta's two group kind tables.
template <StageName S, class T>
bool vexaLoop(ImageData<T>& noisy, const float* psd, const Parameters& params,
              const TransformsMeta<T>& meta, ImageDataMutable<T>& output,
              BlockMatchStorage* storage, ImageData<T>* basicEstimate);

} // namespace vexa
