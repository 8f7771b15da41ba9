#pragma once

#include "core/image_data.h"
#include "core/parameters.h"
#include "core/vec3.h"

namespace vexa {

// target += part voxel by voxel (two volumes of the same size).
void addInto(ImageDataMutable<float>& target, const ImageDataMutable<float>& part);

// output /= weights voxel by voxel; a voxel without weight takes the noisy
// value instead of 0/0.
void normaliseOutput(ImageDataMutable<float>& output, const ImageDataMutable<float>& weights,
                     const ImageData<float>& noisy);

} // namespace vexa
