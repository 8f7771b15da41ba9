#pragma once

#include <string>

#include "core/image_data.h"
#include "core/parameters.h"
#include "stage/slice_worker.h"
#include "transforms/transform_meta.h"
#include "vexa.h"

namespace vexa {

// Largest thread count a stage accepts.
constexpr int kMaxStageThreads = 1024;

// Every check of a call's arguments. Each returns "" when the inputs are
// usable, else one line "Invalid parameter: <what>; <allowed values>" (or
// "Invalid match store: ..." for the store).

// An axis whose gridShiftCount is 1 or less gets count 1 and the table ZERO.
// Returns "" or the message for a null table with count > 1.
std::string repairShiftTables(Parameters& params);

// The host's buffers as the entry points receive them (basicEstimate only
// for stage Wie).
std::string checkEntryBuffers(StageName stage, const float* noisy, const float* psd,
                              const float* basicEstimate, const float* output);

// Names the first matrix or table of a set that the stage would dereference
// while it is null, and a maxGroupSize the built-in group tables cannot serve.
std::string checkTransformSet(const Transforms<float>& transforms, const Parameters& params);
std::string checkTransformSet(const TransformsMeta<float>& meta, const Parameters& params);

// Parameters the noise-spectrum code relies on (psdResampleSize components in
// {1, 4, 8, 16, 32, 64}, PSD size, grid products in range).
std::string validateNoiseParameters(const Parameters& params);

// The parameter block alone, before anything is read through its sizes or
// allocated from them: the step check comes first, then the sizes, the
// search radius, thread count, shift tables, the float fields (finite) and the
// noise-spectrum parameters.
std::string validateParameters(StageName stage, const Parameters& params);

// The search radius that matters: per axis at most the last block origin
// (imageSize - blockSize); a larger radius finds no further block.
Vec3<int> effectiveSearchRadius(const Parameters& params);

// For validated parameters: the search radius cut to effectiveSearchRadius
// and maxGroupSize to the number of blocks such a window holds. Neither
// changes a result; both bound the work and memory that follow from them.
void clampToImage(Parameters& params);

// The values of the volumes and the PSD (sizes from validated parameters):
// every sample finite, the PSD at least 0 with positive power.
std::string validateValues(StageName stage, const float* noisy, const float* psd,
                           const float* basicEstimate, const Parameters& params);

// The first sample of a volume that is not a finite number, as
// "(x, y, z) = value"; "" when every sample is finite.
std::string firstNonFinite(const float* data, const Vec3<int>& size);

// Everything a stage checks before it does any work: the parameters, the
// buffers, the transforms and the values.
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
