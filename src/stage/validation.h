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

// Everything a stage checks before it does any work: the step check comes
// first, then the sizes, buffers, transforms and the noise-spectrum parameters.
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
