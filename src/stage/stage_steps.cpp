#include "stage/stage_steps.h"

namespace vexa {

void addInto(ImageDataMutable<float>& target, const ImageDataMutable<float>& part) {
    const long long count = static_cast<long long>(target._size.volume());
    float* __restrict t = target._data;
    const float* __restrict p = part._data;
    for (long long i = 0; i < count; ++i) t[i] += p[i];
}

void normaliseOutput(ImageDataMutable<float>& output, const ImageDataMutable<float>& weights,
                     const ImageData<float>& noisy) {
    const long long count = static_cast<long long>(output._size.volume());
    float* __restrict o = output._data;
    const float* __restrict w = weights._data;
    const float* __restrict y = noisy._data;
    for (long long i = 0; i < count; ++i) o[i] = w[i] != 0.0f ? o[i] / w[i] : y[i];
}

} // namespace vexa
