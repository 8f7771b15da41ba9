#include "stage/validation.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/sizes.h"
#include "transforms/transform_tables.h"

namespace vexa {
namespace {

std::string format(const Vec3<int>& v) {
    return "(" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) +
           ")";
}

std::string invalid(const std::string& what, const std::string& rule) {
    return "Invalid parameter: " + what + "; " + rule;
}

std::string invalidStore(const std::string& what, const std::string& rule) {
    return "Invalid match store: " + what + "; " + rule;
}

bool isPowerOfTwo(int n) {
    return n >= 1 && (n & (n - 1)) == 0;
}

bool isFourierLength(int n) {
    return n == 1 || n == 4 || n == 8 || n == 16 || n == 32 || n == 64;
}

template <class Set>
std::string checkSet(const Set& t, const Parameters& params) {
    for (int a = 0; a < 3; ++a) {
        const std::string n = std::to_string(component(params.blockSize, a));
        const std::string allowed =
            "a matrix of " + n + " x " + n + " floats (blockSize." + axisName(a) + " = " + n + ")";
        if (component(t.forward, a) == nullptr)
            return invalid(std::string("transforms.forward.") + axisName(a) + " = null", allowed);
        if (component(t.inverse, a) == nullptr)
            return invalid(std::string("transforms.inverse.") + axisName(a) + " = null", allowed);
    }
    if (t.window == nullptr)
        return invalid("transforms.window = null",
                       "blockSize.x*blockSize.y*blockSize.z aggregation weights");
    if (t.groupForward == nullptr)
        return invalid("transforms.groupForward = null", "a table indexed by group length");
    if (t.groupInverse == nullptr)
        return invalid("transforms.groupInverse = null",
                       "a table indexed by group length, like groupForward");
    // The built-in group tables end at length 64; never index past them.
    if ((t.groupForward == HAAR_NL_FWD || t.groupInverse == HAAR_NL_INV) &&
        params.maxGroupSize > 64)
        return invalid("maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "with the built-in group tables it must be between 1 and 64");
    // The stage forms groups of every power of two up to maxGroupSize.
    for (long long s = 2; s <= params.maxGroupSize; s *= 2) {
        const std::string len = std::to_string(s);
        const std::string allowed = "a " + len + " x " + len +
                                    " matrix at every power of two up to maxGroupSize (" +
                                    std::to_string(params.maxGroupSize) + ")";
        if (t.groupForward[s] == nullptr)
            return invalid("transforms.groupForward[" + len + "] = null", allowed);
        if (t.groupInverse[s] == nullptr)
            return invalid("transforms.groupInverse[" + len + "] = null", allowed);
    }
    return "";
}

} // namespace

std::string repairShiftTables(Parameters& params) {
    std::string problem;
    for (int a = 0; a < 3; ++a) {
        int& count = a == 0 ? params.gridShiftCount.x
                            : (a == 1 ? params.gridShiftCount.y : params.gridShiftCount.z);
        const int*& table =
            a == 0 ? params.gridShift.x : (a == 1 ? params.gridShift.y : params.gridShift.z);
        if (count <= 1) {
            count = 1;
            table = ZERO;
        } else if (table == nullptr && problem.empty()) {
            problem = invalid(std::string("params.gridShift.") + axisName(a) +
                                  " = null (gridShiftCount." + axisName(a) + " = " +
                                  std::to_string(count) + ")",
                              std::string("a table of gridShiftCount.") + axisName(a) +
                                  " ints, or a count of 1 or less to use no shift");
        }
    }
    return problem;
}

std::string checkEntryBuffers(StageName stage, const float* noisy, const float* psd,
                              const float* basicEstimate, const float* output) {
    const char* volume = "a buffer of imageSize.x*imageSize.y*imageSize.z floats";
    if (noisy == nullptr) return invalid("argument noisy = null", volume);
    if (psd == nullptr)
        return invalid("argument psd = null", "a buffer of psdSize.x*psdSize.y*psdSize.z floats");
    if (stage == Wie && basicEstimate == nullptr)
        return invalid("argument basicEstimate = null", volume);
    if (output == nullptr) return invalid("argument output = null", volume);
    return "";
}

std::string checkTransformSet(const Transforms<float>& transforms, const Parameters& params) {
    return checkSet(transforms, params);
}

std::string checkTransformSet(const TransformsMeta<float>& meta, const Parameters& params) {
    return checkSet(meta, params);
}

std::string validateNoiseParameters(const Parameters& params) {
    const Vec3<int>& R = params.psdResampleSize;
    if (!isFourierLength(R.x) || !isFourierLength(R.y) || !isFourierLength(R.z))
        return invalid("psdResampleSize = " + format(R),
                       "every component must be one of 1, 4, 8, 16, 32, 64");
    const Vec3<int>& S = params.psdSize;
    if (S.x < 1 || S.y < 1 || S.z < 1)
        return invalid("psdSize = " + format(S), "every component must be at least 1");
    const Vec3<int>& B = params.blockSize;
    if (B.x < 1 || B.y < 1 || B.z < 1)
        return invalid("blockSize = " + format(B), "every component must be at least 1");
    if (params.maxGroupSize < 1)
        return invalid("maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "it must be at least 1");
    if (params.varianceGroupSize < 0)
        return invalid("varianceGroupSize = " + std::to_string(params.varianceGroupSize),
                       "it must be at least 0");

    const std::string limit = std::to_string(INT_MAX);
    long long product = 0;
    if (!checkedProduct({S.x, S.y, S.z}, product))
        return invalid("psdSize = " + format(S),
                       "the number of PSD points must not exceed " + limit);
    // Table of every frequency times every block coefficient.
    if (!checkedProduct({R.x, R.y, R.z, B.x, B.y, B.z}, product))
        return invalid("psdResampleSize = " + format(R) + " with blockSize = " + format(B),
                       "the product of their point counts must not exceed " + limit);
    // The working memory holds one position map per group member.
    if (!checkedProduct({R.x, R.y, R.z, params.maxGroupSize}, product))
        return invalid("psdResampleSize = " + format(R) +
                           " with maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "the grid point count times maxGroupSize must not exceed " + limit);
    if (!checkedProduct({B.x, B.y, B.z, params.maxGroupSize}, product))
        return invalid("blockSize = " + format(B) +
                           " with maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "the block point count times maxGroupSize must not exceed " + limit);
    return "";
}

Vec3<int> effectiveSearchRadius(const Parameters& params) {
    Vec3<int> r = params.searchRadius;
    for (int a = 0; a < 3; ++a) {
        const int reach = std::max(component(params.imageSize, a) - component(params.blockSize, a), 0);
        int& c = a == 0 ? r.x : (a == 1 ? r.y : r.z);
        c = std::min(c, reach);
    }
    return r;
}

void clampToImage(Parameters& params) {
    params.searchRadius = effectiveSearchRadius(params);
    long long candidates = 1;
    for (int a = 0; a < 3; ++a) candidates *= 2LL * component(params.searchRadius, a) + 1;
    if (candidates < params.maxGroupSize) params.maxGroupSize = static_cast<int>(candidates);
}

namespace {

std::string checkFinite(const char* name, float value, const char* rule) {
    if (std::isfinite(value)) return "";
    return invalid(std::string(name) + " = " + std::to_string(value), rule);
}

std::string checkFloatFields(StageName stage, const Parameters& params) {
    const char* finite = "it must be a finite number";
    for (const auto& field : {std::make_pair("hardThreshold", params.hardThreshold),
                              std::make_pair("matchNoiseFactor", params.matchNoiseFactor),
                              std::make_pair("matchThreshold", params.matchThreshold),
                              std::make_pair("sharpenAlpha", params.sharpenAlpha),
                              std::make_pair("sharpenAlphaFirstSlice",
                                             params.sharpenAlphaFirstSlice)}) {
        const std::string problem = checkFinite(field.first, field.second, finite);
        if (!problem.empty()) return problem;
    }
    if (params.sharpen && !(params.sharpenAlpha > 0.0f && params.sharpenAlphaFirstSlice > 0.0f))
        return invalid("sharpenAlpha = " + std::to_string(params.sharpenAlpha) +
                           ", sharpenAlphaFirstSlice = " +
                           std::to_string(params.sharpenAlphaFirstSlice),
                       "with sharpen set both must be finite numbers greater than 0");
    if (stage == Wie && (!(params.wienerFactor > 0.0f) || !std::isfinite(params.wienerFactor)))
        return invalid("wienerFactor = " + std::to_string(params.wienerFactor),
                       "it must be a finite number greater than 0");
    return "";
}

} // namespace

std::string firstNonFinite(const float* data, const Vec3<int>& size) {
    const long long count = static_cast<long long>(size.volume());
    long long bad = -1;
    for (long long i = 0; i < count && bad < 0; i += 4096) {
        const long long end = std::min(count, i + 4096);
        bool ok = true;
        for (long long j = i; j < end; ++j) ok &= std::isfinite(data[j]);
        if (ok) continue;
        for (long long j = i; j < end && bad < 0; ++j)
            if (!std::isfinite(data[j])) bad = j;
    }
    if (bad < 0) return "";
    const long long plane = 1LL * size.x * size.y;
    return format({static_cast<int>(bad % size.x), static_cast<int>((bad % plane) / size.x),
                   static_cast<int>(bad / plane)}) +
           " = " + std::to_string(data[bad]);
}

std::string validateParameters(StageName stage, const Parameters& params) {
    const Vec3<int>& size = params.imageSize;
    const Vec3<int>& block = params.blockSize;
    const Vec3<int>& step = params.step;
    if (!(step.x > 0 && step.y > 0 && step.z > 0))
        return invalid("step = " + format(step),
                       "every component must be greater than 0 (params.step > 0)");
    long long voxels = 0;
    if (!(size.x >= 1 && size.y >= 1 && size.z >= 1) ||
        !checkedProduct({size.x, size.y, size.z}, voxels))
        return invalid("imageSize = " + format(size),
                       "every component must be at least 1 and the voxel count at most " +
                           std::to_string(INT_MAX));
    for (int a = 0; a < 3; ++a) {
        if (static_cast<long long>(component(size, a)) + component(step, a) > INT_MAX)
            return invalid("step = " + format(step),
                           "imageSize + step must not exceed " + std::to_string(INT_MAX));
        if (component(block, a) < 1 || component(block, a) > component(size, a))
            return invalid("blockSize = " + format(block),
                           "every component must be from 1 to imageSize = " + format(size));
    }
    // A radius past the last block origin finds no further block: only the
    // part of the window inside the image counts.
    const Vec3<int>& r = params.searchRadius;
    const Vec3<int> reach = effectiveSearchRadius(params);
    long long biasEntries = 0;
    if (!(r.x >= 0 && r.y >= 0 && r.z >= 0) ||
        !checkedProduct({2LL * reach.x + 1, 2LL * reach.y + 1, 2LL * reach.z + 1}, biasEntries))
        return invalid("searchRadius = " + format(r),
                       "every component must be at least 0 (the part inside the image counts)");
    if (params.maxGroupSize < 1)
        return invalid("maxGroupSize = " + std::to_string(params.maxGroupSize),
                       "it must be at least 1");
    if (params.numThreads > kMaxStageThreads)
        return invalid("numThreads = " + std::to_string(params.numThreads),
                       "it must be at most " + std::to_string(kMaxStageThreads) +
                           " (below 1: the hardware concurrency)");
    const Vec3<int>& counts = params.gridShiftCount;
    const int* tables[3] = {params.gridShift.x, params.gridShift.y, params.gridShift.z};
    for (int a = 0; a < 3; ++a)
        if (component(counts, a) < 1 || tables[a] == nullptr)
            return invalid(std::string("gridShift.") + axisName(a),
                           "every shift table must be given with gridShiftCount at least 1");
    const std::string floats = checkFloatFields(stage, params);
    if (!floats.empty()) return floats;
    return validateNoiseParameters(params);
}

std::string validateValues(StageName stage, const float* noisy, const float* psd,
                           const float* basicEstimate, const Parameters& params) {
    std::string bad = firstNonFinite(noisy, params.imageSize);
    if (!bad.empty())
        return invalid("noisy sample " + bad, "every sample must be a finite number");
    if (stage == Wie) {
        bad = firstNonFinite(basicEstimate, params.imageSize);
        if (!bad.empty())
            return invalid("basicEstimate sample " + bad, "every sample must be a finite number");
    }
    const long long points = static_cast<long long>(params.psdSize.volume());
    double sum = 0.0;
    for (long long i = 0; i < points; ++i) {
        const float v = psd[i];
        if (!std::isfinite(v) || v < 0.0f)
            return invalid("psd[" + std::to_string(i) + "] = " + std::to_string(v),
                           "a power spectral density: every value finite and at least 0");
        sum += v;
    }
    if (!(sum > 0.0))
        return invalid("psd", "all zeros; the noise must have positive power");
    return "";
}

std::string validateStageInputs(StageName stage, const ImageData<float>& noisy, const float* psd,
                                const Parameters& params, const TransformsMeta<float>& meta,
                                const ImageDataMutable<float>& output,
                                const ImageData<float>* basicEstimate) {
    const std::string parameterProblem = validateParameters(stage, params);
    if (!parameterProblem.empty()) return parameterProblem;
    const Vec3<int>& size = params.imageSize;
    if (noisy._data == nullptr || !(noisy._size == size))
        return invalid("noisy", "a buffer of imageSize = " + format(size) + " floats");
    if (output._data == nullptr || !(output._size == size))
        return invalid("output", "a buffer of imageSize = " + format(size) + " floats");
    if (psd == nullptr) return invalid("psd = null", "a buffer of psdSize floats");
    if (stage == Wie && (basicEstimate == nullptr || basicEstimate->_data == nullptr ||
                         !(basicEstimate->_size == size)))
        return invalid("basicEstimate", "the first stage's result, a buffer of imageSize = " +
                                            format(size) + " floats");
    const std::string transformProblem = checkTransformSet(meta, params);
    if (!transformProblem.empty()) return transformProblem;
    return validateValues(stage, noisy._data, psd,
                          stage == Wie ? basicEstimate->_data : nullptr, params);
}

std::string validateMatchStore(const Parameters& params, const StageGeometry& geometry,
                               const BlockMatchStorage* storage) {
    if (storage == nullptr) return "";
    const BlockMatchStorage& s = *storage;
    if (s.maxMatches < params.maxGroupSize)
        return invalidStore("maxMatches = " + std::to_string(s.maxMatches),
                            "it must be at least maxGroupSize = " +
                                std::to_string(params.maxGroupSize));
    if (s.matchCounts == nullptr || s.matchPositions == nullptr ||
        s.matchRelativePositions == nullptr)
        return invalidStore("matchCounts / matchPositions / matchRelativePositions = null",
                            "all three arrays must be given");
    if (geometry.referenceCount > INT_MAX)
        return invalidStore("reference grid of " + std::to_string(geometry.referenceCount) +
                                " slots",
                            "at most " + std::to_string(INT_MAX) + " slots can be stored");
    // A processed position with grid index n (one past the last) would
    // write another position's slot or past the end of the arrays.
    const int* tables[3] = {params.gridShift.x, params.gridShift.y, params.gridShift.z};
    const int counts[3] = {params.gridShiftCount.x, params.gridShiftCount.y,
                           params.gridShiftCount.z};
    for (int a = 0; a < 3; ++a) {
        int largestShift = 0;
        for (int i = 0; i < counts[a]; ++i) largestShift = std::max(largestShift, tables[a][i]);
        const int rest = component(params.imageSize, a) % component(params.step, a);
        if (static_cast<long long>(rest) + largestShift > component(params.blockSize, a))
            return invalidStore(
                std::string("grid along ") + axisName(a) +
                    " (imageSize mod step = " + std::to_string(rest) +
                    ", largest gridShift = " + std::to_string(largestShift) + ")",
                "with a match store, (imageSize mod step) + largest shift must be at most "
                "blockSize = " +
                    std::to_string(component(params.blockSize, a)));
    }
    if (s.reuseMatches == 0) return "";

    if (s.referenceCount != geometry.referenceCount)
        return invalidStore("referenceCount = " + std::to_string(s.referenceCount),
                            "stored matches can be reused only on the grid that stored them (" +
                                std::to_string(geometry.referenceCount) + " slots)");
    const int maxLength = std::min(s.maxMatches, params.maxGroupSize);
    struct StoreChecker {
        const Parameters& params;
        const BlockMatchStorage& s;
        int maxLength;
        std::string problem;
        void move(const Vec3<int>&, const Vec3<int>&) {}
        void rowDone(int) {}
        bool reference(const Vec3<int>& origin, int slot) {
            const int n = s.matchCounts[slot];
            if (!isPowerOfTwo(n) || n > maxLength) {
                problem =
                    invalidStore("matchCounts[" + std::to_string(slot) + "] = " + std::to_string(n),
                                 "stored group lengths must be powers of two from 1 to " +
                                     std::to_string(maxLength) + " (maxGroupSize and maxMatches)");
                return false;
            }
            for (int i = 0; i < n; ++i) {
                const long long at = (static_cast<long long>(slot) * s.maxMatches + i) * 3;
                for (int a = 0; a < 3; ++a) {
                    const int p = s.matchPositions[at + a];
                    const int o = component(origin, a);
                    const int r = component(params.searchRadius, a);
                    const int lo = std::max(0, o - r);
                    const int hi = std::min(o + r, component(params.imageSize, a) -
                                                       component(params.blockSize, a));
                    if (p < lo || p > hi || s.matchRelativePositions[at + a] < 0) {
                        problem = invalidStore(
                            "slot " + std::to_string(slot) + ", member " + std::to_string(i),
                            "stored positions must lie in the search window of their "
                            "reference and relative positions must be at least 0");
                        return false;
                    }
                }
            }
            return true;
        }
    } checker{params, s, maxLength, ""};
    for (int line = 0; line < geometry.lineCount && checker.problem.empty(); ++line)
        walkGridLine(params, geometry, line, checker);
    return checker.problem;
}

} // namespace vexa
