#pragma once

#include <exception>

#include "core/parameters.h"
#include "core/vec3.h"
#include "transforms/transform_kinds.h"

namespace vexa {

// A transform set plus the built-in kind of every matrix. The two group kind
// tables (maxGroupSize + 1 entries, or null) come from cMalloc and are owned
// by the stage that receives the set, which frees them with
// releaseGroupKinds (cFree); copies share them. Null tables mean the plain
// matrix product for every group length.
template <class T>
struct TransformsMeta {
    Vec3<const T*> forward;
    Vec3<const T*> inverse;
    const T* const* groupForward;
    const T* const* groupInverse;
    const T* window;
    Vec3<TransformsMetas::StandardTransform> forwardKind;
    TransformsMetas::StandardTransform* groupForwardKind;
    Vec3<TransformsMetas::StandardTransform> inverseKind;
    TransformsMetas::StandardTransform* groupInverseKind;
};

// The set with the plain matrix product on every axis and no group kind tables.
template <class T>
TransformsMeta<T> plainTransformMeta(const Transforms<T>& transforms);

// Identifies every matrix of the set (tolerance 0.001 per element) and
// allocates the two group kind tables; reads blockSize and maxGroupSize.
template <class T>
TransformsMeta<T> getTransformMeta(const Transforms<T>& transforms, const Parameters& params);

// Allocates the two group kind tables of meta and identifies the group
// matrices of transforms at the powers of two up to min(maxGroupSize, 32)
// (the last step of getTransformMeta). The tables stay null when
// maxGroupSize < 0, the memory is short or groupForward is null.
template <class T>
void identifyGroupKinds(const Transforms<T>& transforms, const Parameters& params,
                        TransformsMeta<T>& meta);

// Frees the two group kind tables (cFree) and sets both pointers to null.
template <class T>
void releaseGroupKinds(TransformsMeta<T>& meta);

// Thrown by the entry points when no transform set fits the block size.
class MissingTransformException : public std::exception {
  public:
    const char* what() const noexcept override;
};

} // namespace vexa
