/*
 * Loads the shared library by file name, as the Python host does (dlopen on
 * Linux and macOS, LoadLibrary on Windows), runs both stages with one thread
 * on inputs that are generated bit for bit the same on every platform, and
 * writes the two outputs as raw little-endian floats. Run on two platforms,
 * the files are compared with --compare:
 *
 *   same_numbers LIBRARY OUTPUT.raw
 *   same_numbers --compare A.raw B.raw TOLERANCE
 *
 * The run fails when a stage reports an error, an output is not finite, or
 * the final estimate is not closer to the clean input than the noisy one.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vexa.h"

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE LibHandle;
static LibHandle openLibrary(const char* path) { return LoadLibraryA(path); }
static void* findSymbol(LibHandle h, const char* name) { return (void*)GetProcAddress(h, name); }
#else
#include <dlfcn.h>
typedef void* LibHandle;
static LibHandle openLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* findSymbol(LibHandle h, const char* name) { return dlsym(h, name); }
#endif

typedef int (*StageHT)(const float*, const float*, VexaParameters, VexaTransforms, float*,
                       BlockMatchStorage*);
typedef int (*StageWie)(const float*, const float*, VexaParameters, VexaTransforms, const float*,
                        float*, BlockMatchStorage*);
typedef const char* (*LastMessage)(void);

/* Integer generator: the same sequence on every platform and compiler. */
static uint32_t nextRandom(uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 16;
}

/*
 * Piecewise-constant phantom plus approximately Gaussian noise (sum of four
 * 16-bit uniforms). Every float is an integer converted exactly and scaled
 * once by a power of two or a constant, so the inputs are bit-identical.
 */
static void makeInput(int nx, int ny, int nz, float sigma, float* clean, float* noisy) {
    uint32_t state = 20240607u;
    const float unit = sigma / 37837.0f; /* standard deviation of the sum of four uniforms */
    int x, y, z;
    for (z = 0; z < nz; ++z)
        for (y = 0; y < ny; ++y)
            for (x = 0; x < nx; ++x) {
                const long i = x + (long)nx * (y + (long)ny * z);
                int level = 3 + (x * 4) / nx;
                const int dx = 2 * x - nx, dy = 2 * y - ny, dz = nz > 1 ? 2 * z - nz : 0;
                if (dx * dx + dy * dy + dz * dz < (nx * nx) / 4) level = 8;
                if (y > (3 * ny) / 4) level = 1;
                clean[i] = (float)level * 0.1f;
                {
                    int32_t sum = 0, k;
                    for (k = 0; k < 4; ++k) sum += (int32_t)nextRandom(&state);
                    noisy[i] = clean[i] + (float)(sum - 2 * 65535) * unit;
                }
            }
}

static VexaParameters parameters(int nx, int ny, int nz, float sigma, int wiener) {
    VexaParameters p;
    const int flat = nz == 1;
    memset(&p, 0, sizeof p);
    p.blockSize.x = flat ? 8 : 4;
    p.blockSize.y = flat ? 8 : 4;
    p.blockSize.z = flat ? 1 : 4;
    p.psdResampleSize.x = p.psdResampleSize.y = 8;
    p.psdResampleSize.z = flat ? 1 : 8;
    p.psdSymmetry = 1;
    p.maxGroupSize = wiener ? 32 : 16;
    p.varianceGroupSize = 4;
    p.hardThreshold = 2.7f * 2.7f;
    p.wienerFactor = 1.0f;
    p.matchNoiseFactor = 1.0f;
    p.searchRadius.x = p.searchRadius.y = 4;
    p.searchRadius.z = flat ? 0 : 3;
    p.imageSize.x = nx;
    p.imageSize.y = ny;
    p.imageSize.z = nz;
    p.psdSize = p.psdResampleSize;
    p.step.x = p.step.y = 3;
    p.step.z = flat ? 1 : 3;
    p.minGroupSize = 1;
    p.matchThreshold = (wiener ? 0.5f : 1.5f) * 64 * sigma * sigma;
    p.numThreads = 1; /* one thread: the aggregation order is fixed */
    return p;
}

static double meanSquare(const float* a, const float* b, long n) {
    double s = 0;
    long i;
    for (i = 0; i < n; ++i) s += ((double)a[i] - b[i]) * ((double)a[i] - b[i]);
    return s / (double)n;
}

/* Both stages on one input; appends the final estimate to out. */
static int runCase(StageHT ht, StageWie wie, LastMessage last, int nx, int ny, int nz, FILE* out) {
    const long n = (long)nx * ny * nz;
    const float sigma = 0.1f;
    const int psdPoints = nz == 1 ? 64 : 512;
    float* clean = (float*)malloc(sizeof(float) * n);
    float* noisy = (float*)malloc(sizeof(float) * n);
    float* basic = (float*)calloc((size_t)n, sizeof(float));
    float* final = (float*)calloc((size_t)n, sizeof(float));
    float psd[512];
    VexaTransforms builtIn;
    int status, i, ok = 1;
    double before, after;
    if (!clean || !noisy || !basic || !final) return 0;
    makeInput(nx, ny, nz, sigma, clean, noisy);
    for (i = 0; i < psdPoints; ++i) psd[i] = sigma * sigma * (float)psdPoints;
    memset(&builtIn, 0, sizeof builtIn);

    status = ht(noisy, psd, parameters(nx, ny, nz, sigma, 0), builtIn, basic, NULL);
    if (status != VEXA_OK) {
        fprintf(stderr, "same_numbers: hard thresholding failed (%d): %s\n", status, last());
        ok = 0;
    }
    status = ok ? wie(noisy, psd, parameters(nx, ny, nz, sigma, 1), builtIn, basic, final, NULL)
                : -1;
    if (ok && status != VEXA_OK) {
        fprintf(stderr, "same_numbers: Wiener stage failed (%d): %s\n", status, last());
        ok = 0;
    }
    for (i = 0; ok && i < n; ++i)
        if (!isfinite(basic[i]) || !isfinite(final[i])) {
            fprintf(stderr, "same_numbers: non-finite output at %d\n", i);
            ok = 0;
        }
    if (ok) {
        before = meanSquare(noisy, clean, n);
        after = meanSquare(final, clean, n);
        printf("%dx%dx%d: mean square error noisy %.6g, final %.6g\n", nx, ny, nz, before, after);
        if (!(after < before)) {
            fprintf(stderr, "same_numbers: the estimate is no closer to the clean input\n");
            ok = 0;
        }
    }
    if (ok && (fwrite(basic, sizeof(float), (size_t)n, out) != (size_t)n ||
               fwrite(final, sizeof(float), (size_t)n, out) != (size_t)n))
        ok = 0;
    free(clean);
    free(noisy);
    free(basic);
    free(final);
    return ok;
}

static float* readFloats(const char* path, long* count) {
    FILE* f = fopen(path, "rb");
    float* data;
    long bytes;
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    bytes = ftell(f);
    fseek(f, 0, SEEK_SET);
    data = (float*)malloc(bytes > 0 ? (size_t)bytes : 1);
    if (data && fread(data, 1, (size_t)bytes, f) != (size_t)bytes) {
        free(data);
        data = NULL;
    }
    fclose(f);
    *count = bytes / (long)sizeof(float);
    return data;
}

static int compareFiles(const char* a, const char* b, double tolerance) {
    long na = 0, nb = 0, i, differing = 0, worst = 0;
    float* x = readFloats(a, &na);
    float* y = readFloats(b, &nb);
    double maxDiff = 0;
    if (!x || !y || na != nb || na == 0) {
        fprintf(stderr, "same_numbers: cannot compare %s (%ld floats) with %s (%ld floats)\n", a,
                na, b, nb);
        return 1;
    }
    for (i = 0; i < na; ++i) {
        const double d = fabs((double)x[i] - (double)y[i]);
        if (x[i] != y[i]) ++differing;
        if (d > maxDiff || d != d) {
            maxDiff = d;
            worst = i;
        }
    }
    printf("same_numbers: %ld values, %ld differ, largest difference %.3g (value %.9g vs %.9g), "
           "tolerance %.3g\n",
           na, differing, maxDiff, x[worst], y[worst], tolerance);
    free(x);
    free(y);
    return maxDiff <= tolerance ? 0 : 1;
}

int main(int argc, char** argv) {
    LibHandle lib;
    StageHT ht;
    StageWie wie;
    LastMessage last;
    FILE* out;
    int ok;
    if (argc == 5 && strcmp(argv[1], "--compare") == 0)
        return compareFiles(argv[2], argv[3], atof(argv[4]));
    if (argc != 3) {
        fprintf(stderr, "usage: same_numbers LIBRARY OUTPUT.raw | --compare A B TOLERANCE\n");
        return 2;
    }
    lib = openLibrary(argv[1]);
    if (!lib) {
        fprintf(stderr, "same_numbers: cannot load %s\n", argv[1]);
        return 1;
    }
    ht = (StageHT)findSymbol(lib, "vexaInterfaceHT");
    wie = (StageWie)findSymbol(lib, "vexaInterfaceWie");
    last = (LastMessage)findSymbol(lib, "vexaLastMessage");
    if (!ht || !wie || !last) {
        fprintf(stderr, "same_numbers: %s lacks an entry point\n", argv[1]);
        return 1;
    }
    out = fopen(argv[2], "wb");
    if (!out) {
        fprintf(stderr, "same_numbers: cannot write %s\n", argv[2]);
        return 1;
    }
    /* A volume with the built-in 4x4x4 set and an image with the 8x8x1 set. */
    ok = runCase(ht, wie, last, 28, 24, 20, out) && runCase(ht, wie, last, 64, 48, 1, out);
    if (fclose(out) != 0) ok = 0;
    return ok ? 0 : 1;
}
