#pragma once

#include "core/complex.h"
#include "core/cube4d.h"
#include "core/vec3.h"
#include "interface/parameters.h"
#include "matching/block_distance.h"

namespace vexa {

// Buffers of the group of the current reference location (one per job).
template <class T>
struct Memory {
    BlockDistance<T>* matches = nullptr;
    Cube4D<T> group;
    Cube4D<T> noisyGroup;
    Cube4D<T> estimates;
    Cube4D<T> variances;
    T* blockVariances = nullptr;
    int stackSize = 0;
    Vec3<int> workSize{0, 0, 0};
    bool valid = false;

    // Releases every buffer and clears the pointers; safe on a partly
    // allocated structure and on one already released.
    void free();
};

// Scratch of the transforms and of the variance computation (one per job).
template <class T>
struct TempMemory {
    Complex* fftLinesA = nullptr;
    Complex* fftLinesB = nullptr;
    T* memberScratch = nullptr;
    Cube4D<Complex> spectrumCube;
    Cube4D<T> planeCube;
    bool* planeMask = nullptr;
    T* blockScratchA = nullptr;
    T* blockScratchB = nullptr;
    T* blockScratchC = nullptr;
    int maxDim = 0;
    bool valid = false;

    void free();
};

// Width of the working frequency grid along x: the folded width when
// psdSymmetry applies (x = y and z equal to x or 1) and it is narrower than
// the grid, else psdResampleSize.x (a grid of 1 or 2 would fold wider).
int workingWidthX(const Parameters& params);

// Every buffer is sized from params; valid is false when any allocation
// failed or a size does not fit the range of int.
template <class T>
Memory<T> allocateMemory(const Parameters& params);

template <class T>
TempMemory<T> createTempMemory(const Parameters& params);

} // namespace vexa
