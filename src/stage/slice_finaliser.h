#pragma once

#include <mutex>

#include "core/image_data.h"
#include "core/parameters.h"

namespace vexa {

struct StageGeometry;

// Step 6 of docs/design.md slice by slice along the cut axis (z, or y for an
// image), as soon as no grid line still to be walked can add to a slice: the
// slice is normalised into output and its weights in the ring are cleared for
// the slice `depth` further on. The weights then take a ring of a few dozen
// slices instead of a whole volume. Every voxel is divided exactly as the
// whole-volume normalisation would, so the output is the same bit for bit.
class SliceFinaliser {
  public:
    // linesInFlight: how many grid lines, counted from the first one not yet
    // finished, may be walked at the same time (1 for one job walking in order).
    SliceFinaliser(const Parameters& params, const StageGeometry& g, int linesInFlight);

    // Slices of the weight ring; at least the whole cut axis means no ring.
    int depth() const { return _depth; }

    // Allocates the weights (a ring when it is smaller than the volume);
    // false when the memory is not there.
    bool allocate(ImageDataMutable<float>& weights) const;

    // Every grid line below doneLines is walked: finalises the slices no
    // later line reaches. Thread-safe; callers hold no aggregation lock.
    void linesDone(int doneLines, ImageDataMutable<float>& output, ImageDataMutable<float>& weights,
                   const ImageData<float>& noisy);

    // Finalises every slice left (after the walk, also a failed one).
    void finishAll(ImageDataMutable<float>& output, ImageDataMutable<float>& weights,
                   const ImageData<float>& noisy);

    // Lowest slice that a grid line at or after `line` can add to.
    int lowestReached(int line) const;

  private:
    void finalise(int upTo, ImageDataMutable<float>& output, ImageDataMutable<float>& weights,
                  const ImageData<float>& noisy);

    std::mutex _mutex;
    int _finalised = 0; // slices below are final
    int _sliceCount = 0;
    int _lineCount = 0;
    int _sliceStep = 1;
    int _maxPos = 0;
    int _radius = 0;
    int _shiftHigh = 0;
    long long _sliceElements = 0;
    int _depth = 0;
};

} // namespace vexa
