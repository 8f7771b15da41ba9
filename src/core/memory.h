#pragma once

#include "core/block_distance.h"
#include "core/complex.h"
#include "core/cube4d.h"
#include "core/parameters.h"
#include "core/vec3.h"

namespace vexa {

// Buffers of the group of the current reference location (one per job). Owns
// its buffers: move-only, released by the destructor.
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

    Memory() = default;
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    Memory(Memory&& o) noexcept { swap(o); }
    Memory& operator=(Memory&& o) noexcept {
        Memory(static_cast<Memory&&>(o)).swap(*this);
        return *this;
    }
    // Safe on a partly allocated structure and on a moved-from one.
    ~Memory();

  private:
    void swap(Memory& o) noexcept;
};

// Scratch of the transforms and of the variance computation (one per job).
// Owns its buffers: move-only, released by the destructor.
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

    TempMemory() = default;
    TempMemory(const TempMemory&) = delete;
    TempMemory& operator=(const TempMemory&) = delete;
    TempMemory(TempMemory&& o) noexcept { swap(o); }
    TempMemory& operator=(TempMemory&& o) noexcept {
        TempMemory(static_cast<TempMemory&&>(o)).swap(*this);
        return *this;
    }
    ~TempMemory();

  private:
    void swap(TempMemory& o) noexcept;
};

// Width of the working frequency grid along x: the folded width when
// psdSymmetry applies (x = y and z equal to x or 1) and it is narrower than
// the grid, else psdResampleSize.x (a grid of 1 or 2 would fold wider).
int workingWidthX(const Parameters& params);

// The working frequency grid: psdResampleSize with x = workingWidthX.
Vec3<int> workingSize(const Parameters& params);

// Every buffer and workSize are sized from params in this one call; valid is
// false when any allocation failed or a size does not fit the range of int.
template <class T>
Memory<T> allocateMemory(const Parameters& params);

template <class T>
TempMemory<T> createTempMemory(const Parameters& params);

} // namespace vexa
