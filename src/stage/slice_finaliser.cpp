#include "stage/slice_finaliser.h"

#include <algorithm>
#include <climits>

#include "stage/slice_worker.h"

namespace vexa {

SliceFinaliser::SliceFinaliser(const Parameters& params, const StageGeometry& g,
                               int linesInFlight) {
    const int axis = g.is3D ? 2 : 1;
    const int* table = axis == 2 ? params.gridShift.z : params.gridShift.y;
    const int count = axis == 2 ? params.gridShiftCount.z : params.gridShiftCount.y;
    long long high = 0, low = 0;
    for (int i = 0; table != nullptr && i < count; ++i) {
        high = std::max<long long>(high, table[i]);
        low = std::min<long long>(low, table[i]);
    }
    _sliceCount = g.sliceCount;
    _lineCount = g.lineCount;
    _sliceStep = g.sliceStep;
    _maxPos = component(g.maxPos, axis);
    _radius = component(params.searchRadius, axis);
    _shiftHigh = static_cast<int>(std::min<long long>(high, INT_MAX / 4));
    _sliceElements = g.is3D ? static_cast<long long>(params.imageSize.x) * params.imageSize.y
                            : params.imageSize.x;
    // From the lowest slice a pending line reaches to the highest slice any
    // line in flight writes: the lines' own span, both search windows, the
    // block, the shifts and one step of margin.
    const long long span = static_cast<long long>(std::max(linesInFlight, 1)) * g.sliceStep +
                           2LL * _radius + component(params.blockSize, axis) + (high - low) +
                           g.sliceStep + 1;
    _depth = static_cast<int>(std::min<long long>(span, _sliceCount));
}

bool SliceFinaliser::allocate(ImageDataMutable<float>& weights) const {
    weights =
        _depth >= _sliceCount
            ? ImageDataMutable<float>::allocateZeroed(weights._size)
            : ImageDataMutable<float>::allocateZeroedRing(weights._size, _sliceElements, _depth);
    return weights._data != nullptr;
}

int SliceFinaliser::lowestReached(int line) const {
    if (line >= _lineCount) return _sliceCount;
    const long long p = static_cast<long long>(line) * _sliceStep;
    const long long reference =
        std::min<long long>(std::max<long long>(p - _shiftHigh, 0), _maxPos);
    return static_cast<int>(std::max<long long>(reference - _radius, 0));
}

void SliceFinaliser::finalise(int upTo, ImageDataMutable<float>& output,
                              ImageDataMutable<float>& weights, const ImageData<float>& noisy) {
    upTo = std::min(upTo, _sliceCount);
    if (upTo <= _finalised) return;
    const long long first = _finalised * _sliceElements, last = upTo * _sliceElements;
    float* __restrict o = output._data;
    float* __restrict w = weights._data;
    const float* __restrict y = noisy._data;
    for (long long s = first; s < last; s += _sliceElements) {
        float* __restrict ws = w + weights.storageIndex(s);
        float* __restrict os = o + s;
        const float* __restrict ys = y + s;
        for (long long i = 0; i < _sliceElements; ++i) {
            os[i] = ws[i] != 0.0f ? os[i] / ws[i] : ys[i];
            ws[i] = 0.0f;
        }
    }
    _finalised = upTo;
}

void SliceFinaliser::linesDone(int doneLines, ImageDataMutable<float>& output,
                               ImageDataMutable<float>& weights, const ImageData<float>& noisy) {
    std::lock_guard<std::mutex> lock(_mutex);
    finalise(lowestReached(doneLines), output, weights, noisy);
}

void SliceFinaliser::finishAll(ImageDataMutable<float>& output, ImageDataMutable<float>& weights,
                               const ImageData<float>& noisy) {
    std::lock_guard<std::mutex> lock(_mutex);
    finalise(_sliceCount, output, weights, noisy);
}

} // namespace vexa
