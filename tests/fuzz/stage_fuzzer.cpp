// libFuzzer harness of the two stage entry points, through the public C ABI
// only. Every input is turned into a parameter block, a transform set, shift
// tables, an optional match store and volumes of at most 24^3 samples. The
// buffers always have the sizes the parameter block announces (the library
// cannot check raw buffer sizes; that part of the contract is the caller's),
// every other value may be anything.
//
// Oracles, checked after every call (a violation aborts with a description):
// - no sanitizer report and no crash (the sanitizers themselves);
// - no call runs longer than a bound proportional to its work;
// - the status is one of the VexaStatus values;
// - status 0 only with a finite output and nothing on the standard error stream;
// - status != 0 only with exactly one line on the standard error stream, the
//   same line vexaLastMessage() returns;
// - status 1 (invalid argument) leaves output bit for bit as it was;
// - the caller's inputs (volumes, PSD, parameter block, tables) are never written.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/common_interface_defs.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vexa.h"

namespace {

constexpr int kMaxEdge = 24;
constexpr int kMaxThreads = 4;

int savedStderr = -1;
FILE* capture = nullptr;
std::string currentCall; // the call being checked, shown with a violation

// Where the harness reports: the original standard error stream, also while
// the library's own stream is being captured.
void say(const std::string& text) {
    const std::string line = text + "\n";
    const int fd = savedStderr >= 0 ? savedStderr : 2;
    if (write(fd, line.data(), line.size()) < 0) std::abort();
}

[[noreturn]] void violated(const std::string& what) {
    say("stage_fuzzer: oracle violated: " + what);
    say("stage_fuzzer: call: " + currentCall);
    std::abort();
}

void setUpOnce() {
    if (capture != nullptr) return;
    savedStderr = dup(2);
    // Sanitizer reports go to the real stream even while the library's is captured.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(savedStderr)));
    capture = std::tmpfile();
    if (capture == nullptr || savedStderr < 0) std::abort();
}

// Captures what the library writes on fd 2 during one call.
struct StderrCapture {
    StderrCapture() {
        std::fflush(stderr);
        if (ftruncate(fileno(capture), 0) != 0) std::abort();
        std::rewind(capture);
        dup2(fileno(capture), 2);
    }
    std::string finish() {
        std::fflush(stderr);
        dup2(savedStderr, 2);
        std::string text;
        std::rewind(capture);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, capture)) > 0) text.append(buffer, n);
        return text;
    }
};

// ------------------------------------------------------------------ values

struct Source {
    FuzzedDataProvider& in;

    // Once the bytes run out the provider returns 0: plain values from then on.
    bool wild(int percent) { return in.ConsumeIntegralInRange<int>(0, 99) >= 100 - percent; }

    // An int usually in [lo, hi], sometimes a value no parameter allows.
    int pick(int lo, int hi, const std::vector<int>& odd) {
        if (!odd.empty() && wild(6)) return odd[in.ConsumeIntegralInRange<size_t>(0, odd.size() - 1)];
        return in.ConsumeIntegralInRange<int>(lo, hi);
    }

    float special() {
        static const float values[] = {std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       -0.0f,
                                       3.4e38f,
                                       -3.4e38f,
                                       1e-45f,
                                       1e-38f,
                                       -1.0f};
        if (wild(30)) {
            uint32_t bits = in.ConsumeIntegral<uint32_t>();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        return values[in.ConsumeIntegralInRange<size_t>(0, sizeof values / sizeof values[0] - 1)];
    }

    // A float usually in [lo, hi], sometimes NaN, an infinity, a huge or tiny value.
    float real(float lo, float hi) {
        if (wild(6)) return special();
        return in.ConsumeFloatingPointInRange<float>(lo, hi);
    }
};

const std::vector<int> kOddSizes = {0, -1, -7, std::numeric_limits<int>::min(), 25, 64};
const std::vector<int> kOddCounts = {0, -1, std::numeric_limits<int>::min(),
                                     std::numeric_limits<int>::max(), 100000};

bool positive(const VexaVec3i& v) {
    return v.x > 0 && v.y > 0 && v.z > 0;
}

long long volumeOf(const VexaVec3i& v) {
    return positive(v) ? 1LL * v.x * v.y * v.z : 0;
}

// Elements a buffer announced as "v.x*v.y*v.z" holds; 1 when v is not a size.
size_t elementsFor(const VexaVec3i& v) {
    const long long n = volumeOf(v);
    return n > 0 ? static_cast<size_t>(n) : 1;
}

std::vector<float> dctMatrix(int n, bool inverse) {
    std::vector<float> m(static_cast<size_t>(n) * n);
    const double pi = 3.14159265358979323846;
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i) {
            const double c = (k == 0 ? std::sqrt(1.0 / n) : std::sqrt(2.0 / n)) *
                             std::cos(pi * (2 * i + 1) * k / (2.0 * n));
            if (inverse)
                m[static_cast<size_t>(i) * n + k] = static_cast<float>(c);
            else
                m[static_cast<size_t>(k) * n + i] = static_cast<float>(c);
        }
    return m;
}

// One transform set the caller owns, sized by blockSize and maxGroupSize.
struct CallerTransforms {
    std::vector<float> forward[3], inverse[3], window;
    std::vector<std::vector<float>> groupMatrices;
    std::vector<const float*> groupForward, groupInverse;
    VexaTransforms set{};
};

int matrixEdge(int blockEdge) {
    return blockEdge >= 1 && blockEdge <= 64 ? blockEdge : 1;
}

void buildTransforms(Source& s, const VexaParameters& p, CallerTransforms& t) {
    const int edges[3] = {matrixEdge(p.blockSize.x), matrixEdge(p.blockSize.y),
                          matrixEdge(p.blockSize.z)};
    const bool random = s.wild(15);
    for (int a = 0; a < 3; ++a) {
        t.forward[a] = dctMatrix(edges[a], false);
        t.inverse[a] = dctMatrix(edges[a], true);
        if (random)
            for (float& v : t.forward[a]) v = s.real(-2.0f, 2.0f);
    }
    const size_t blockPoints = static_cast<size_t>(edges[0]) * edges[1] * edges[2];
    t.window.assign(blockPoints, 1.0f);
    if (s.wild(20))
        for (float& w : t.window) w = s.real(0.0f, 2.0f);
    const float* fwd[3] = {t.forward[0].data(), t.forward[1].data(), t.forward[2].data()};
    const float* inv[3] = {t.inverse[0].data(), t.inverse[1].data(), t.inverse[2].data()};
    t.set.forward = {fwd[0], fwd[1], fwd[2]};
    t.set.inverse = {inv[0], inv[1], inv[2]};
    t.set.window = t.window.data();
    // A missing matrix must be refused.
    if (s.wild(5)) {
        const int which = s.in.ConsumeIntegralInRange<int>(0, 6);
        if (which < 3)
            (which == 0 ? t.set.forward.y : which == 1 ? t.set.forward.z : t.set.inverse.x) =
                nullptr;
        else if (which < 6)
            (which == 3 ? t.set.inverse.y : which == 4 ? t.set.inverse.z : t.set.window) = nullptr;
    }
    // Group tables: none (the library's Haar tables), or the caller's, with an
    // entry for every length up to maxGroupSize.
    if (s.in.ConsumeBool() || p.maxGroupSize < 1 || p.maxGroupSize > 128) {
        t.set.groupForward = nullptr;
        t.set.groupInverse = s.in.ConsumeBool() ? nullptr : fwd; // ignored without groupForward
        return;
    }
    const int n = p.maxGroupSize;
    t.groupForward.assign(n + 1, nullptr);
    t.groupInverse.assign(n + 1, nullptr);
    const bool dropOne = s.wild(10);
    for (int len = 1; len <= n; len *= 2) {
        if (dropOne && s.in.ConsumeBool()) continue;
        t.groupMatrices.push_back(dctMatrix(len, false));
        t.groupForward[len] = t.groupMatrices.back().data();
        t.groupMatrices.push_back(dctMatrix(len, true));
        t.groupInverse[len] = t.groupMatrices.back().data();
    }
    // The pointers into groupMatrices stay valid: reserve is not needed since
    // vectors of vectors move their heap buffers, not the elements.
    t.set.groupForward = t.groupForward.data();
    t.set.groupInverse = t.groupInverse.data();
}

void fillVolume(Source& s, std::vector<float>& v) {
    std::minstd_rand rng(s.in.ConsumeIntegral<uint32_t>());
    const float scale = s.wild(10) ? s.real(-1e30f, 1e30f) : 1.0f;
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (float& x : v) x = u(rng) * scale;
    const int specials = s.wild(8) ? s.in.ConsumeIntegralInRange<int>(1, 4) : 0;
    for (int i = 0; i < specials; ++i)
        v[s.in.ConsumeIntegralInRange<size_t>(0, v.size() - 1)] = s.special();
}

// Reference slots of the grid (the store's size), 1 when the grid is not valid.
long long referenceSlots(const VexaParameters& p) {
    if (!positive(p.imageSize) || !positive(p.step)) return 1;
    return (1LL * (p.imageSize.x / p.step.x + 1)) * (p.imageSize.y / p.step.y + 1) *
           (p.imageSize.z / p.step.z + 1);
}

struct Store {
    std::vector<int32_t> counts, positions, relative;
    BlockMatchStorage s{};
};

void buildStore(Source& s, const VexaParameters& p, Store& store) {
    const int maxMatches = s.pick(1, 64, {0, -1, std::numeric_limits<int>::min()});
    const long long slots = referenceSlots(p);
    const long long perSlot = maxMatches > 0 ? maxMatches : 1;
    store.counts.assign(static_cast<size_t>(slots), 0);
    store.positions.assign(static_cast<size_t>(slots * perSlot * 3), 0);
    store.relative.assign(static_cast<size_t>(slots * perSlot * 3), 0);
    store.s.maxMatches = maxMatches;
    store.s.matchCounts = store.counts.data();
    store.s.matchPositions = store.positions.data();
    store.s.matchRelativePositions = store.relative.data();
    store.s.referenceCount = s.wild(50) ? static_cast<int>(slots) : s.pick(0, 100, kOddCounts);
    store.s.reuseMatches = s.wild(30) ? 1 : 0;
    if (store.s.reuseMatches) {
        // Stored matches written by someone else: anything at all.
        std::minstd_rand rng(s.in.ConsumeIntegral<uint32_t>());
        for (int32_t& c : store.counts) c = static_cast<int32_t>(rng() % 70) - 2;
        for (int32_t& v : store.positions) v = static_cast<int32_t>(rng() % 30) - 3;
        for (int32_t& v : store.relative) v = static_cast<int32_t>(rng() % 30) - 3;
    }
}

std::string str(const VexaVec3i& v) {
    return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

std::string describe(const VexaParameters& p) {
    auto f = [](float v) { return std::to_string(v); };
    return "blockSize=" + str(p.blockSize) + " imageSize=" + str(p.imageSize) +
           " psdResampleSize=" + str(p.psdResampleSize) + " psdSize=" + str(p.psdSize) +
           " psdSymmetry=" + std::to_string(p.psdSymmetry) +
           " maxGroupSize=" + std::to_string(p.maxGroupSize) +
           " varianceGroupSize=" + std::to_string(p.varianceGroupSize) +
           " hardThreshold=" + f(p.hardThreshold) + " wienerFactor=" + f(p.wienerFactor) +
           " matchNoiseFactor=" + f(p.matchNoiseFactor) + " searchRadius=" + str(p.searchRadius) +
           " step=" + str(p.step) + " minGroupSize=" + std::to_string(p.minGroupSize) +
           " matchThreshold=" + f(p.matchThreshold) + " split=" +
           std::to_string(p.splitBlockExtraction[0]) + std::to_string(p.splitBlockExtraction[1]) +
           std::to_string(p.splitBlockExtraction[2]) + " gridShiftCount=" +
           str(p.gridShiftCount) + " sharpen=" + std::to_string(p.sharpen) +
           std::to_string(p.sharpenVariances) + " alpha=" + f(p.sharpenAlpha) + "/" +
           f(p.sharpenAlphaFirstSlice) + " numThreads=" + std::to_string(p.numThreads);
}

// ------------------------------------------------------------------ oracles

// Generous bound for one call: a constant plus a cost per unit of work. A
// search window reaches at most the last block origin of each axis, so the
// window counted is the part of it that can hold blocks.
double timeBoundSeconds(const VexaParameters& p) {
    if (!positive(p.imageSize) || !positive(p.step) || !positive(p.blockSize)) return 10.0;
    double refs = 1, window = 1;
    const int size[3] = {p.imageSize.x, p.imageSize.y, p.imageSize.z};
    const int block[3] = {p.blockSize.x, p.blockSize.y, p.blockSize.z};
    const int step[3] = {p.step.x, p.step.y, p.step.z};
    const int radius[3] = {p.searchRadius.x, p.searchRadius.y, p.searchRadius.z};
    for (int a = 0; a < 3; ++a) {
        refs *= size[a] / step[a] + 1;
        const int reach = std::max(size[a] - block[a], 0);
        window *= std::min<double>(2.0 * std::max(radius[a], 0) + 1, 2.0 * reach + 1);
    }
    const double blockPoints = std::min<double>(volumeOf(p.blockSize), 64.0 * 64 * 64);
    const double group = std::min(std::max(p.maxGroupSize, 1), 256);
    const double frequencies = std::min<double>(volumeOf(p.psdResampleSize), 64.0 * 64 * 64);
    // Matching and filtering per reference, plus the noise tables (the
    // distance correction costs one variance table per displacement).
    const double units = refs * (window + group * 64) * blockPoints +
                         (window + group) * frequencies * blockPoints;
    // Generous: sanitizers slow the library down several times and the
    // machine may be shared; a run-away (hours, like a search over a window
    // far larger than the image) is what this catches.
    return 30.0 + 500e-9 * units;
}

void checkUnchanged(const std::vector<float>& before, const float* now, const char* what) {
    if (std::memcmp(before.data(), now, before.size() * sizeof(float)) != 0)
        violated(std::string("the caller's ") + what + " was written");
}

struct Call {
    const char* stage;
    int status;
    std::string errText;
};

void checkOutcome(const Call& c, const std::vector<float>& outputBefore,
                  const std::vector<float>& output) {
    const std::string stage = c.stage;
    if (c.status < VEXA_OK || c.status > VEXA_ERROR_BUSY)
        violated(stage + ": unknown status " + std::to_string(c.status));
    const std::string last = vexaLastMessage() ? vexaLastMessage() : "";
    if (c.status == VEXA_OK) {
        if (!c.errText.empty()) violated(stage + ": status 0 with a message: " + c.errText);
        for (size_t i = 0; i < output.size(); ++i)
            if (!std::isfinite(output[i]))
                violated(stage + ": status 0 with a non-finite output at " + std::to_string(i));
        return;
    }
    const size_t newline = c.errText.find('\n');
    if (c.errText.empty() || newline != c.errText.size() - 1)
        violated(stage + ": status " + std::to_string(c.status) +
                 " without exactly one line on stderr: [" + c.errText + "]");
    if (c.errText.substr(0, newline) != last)
        violated(stage + ": vexaLastMessage() differs from stderr: [" + last + "]");
    if (c.status == VEXA_ERROR_INVALID_ARGUMENT &&
        std::memcmp(outputBefore.data(), output.data(), output.size() * sizeof(float)) != 0)
        violated(stage + ": status 1 but output was written (" + last + ")");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    FuzzedDataProvider in(data, size);
    Source s{in};

    VexaParameters p;
    std::memset(&p, 0, sizeof p);
    const int blockKind = in.ConsumeIntegralInRange<int>(0, 3);
    if (blockKind == 0)
        p.blockSize = {4, 4, 4};
    else if (blockKind == 1)
        p.blockSize = {8, 8, 1};
    else
        p.blockSize = {s.pick(1, 8, kOddSizes), s.pick(1, 8, kOddSizes), s.pick(1, 8, kOddSizes)};
    const bool flat = in.ConsumeBool();
    p.imageSize = {s.pick(std::max(1, std::min(p.blockSize.x, kMaxEdge)), kMaxEdge, {0, -3}),
                   s.pick(std::max(1, std::min(p.blockSize.y, kMaxEdge)), kMaxEdge, {0, -3}),
                   flat ? 1 : s.pick(std::max(1, std::min(p.blockSize.z, kMaxEdge)), kMaxEdge,
                                     {0, -3})};
    // Image edges beyond 24 are never passed: the buffers would be too large.
    const int* const edges[3] = {&p.imageSize.x, &p.imageSize.y, &p.imageSize.z};
    for (const int* e : edges)
        if (*e > kMaxEdge) std::abort();
    static const int fourier[] = {1, 4, 8, 16, 32, 64};
    auto fourierPick = [&]() {
        return s.wild(4) ? s.pick(0, 0, {0, 2, 3, -4, 128}) : fourier[in.ConsumeIntegralInRange<int>(0, 5)];
    };
    p.psdResampleSize = {fourierPick(), fourierPick(), flat ? 1 : fourierPick()};
    p.psdSymmetry = in.ConsumeBool();
    p.maxGroupSize = s.pick(1, 32, {0, -1, 65, 100, std::numeric_limits<int>::max()});
    p.varianceGroupSize = s.pick(0, 16, {-1, 1000000});
    p.hardThreshold = s.real(0.0f, 30.0f);
    p.wienerFactor = s.real(0.1f, 4.0f);
    p.matchNoiseFactor = s.real(-1.0f, 2.0f);
    p.searchRadius = {s.pick(0, 12, {-1, 100, 1000, 23000}), s.pick(0, 12, {-1, 100, 1000, 23000}),
                      flat ? s.pick(0, 0, {0, 1, 300}) : s.pick(0, 12, {-1, 100, 1000})};
    p.psdSize = {s.pick(1, 16, {0, -1}), s.pick(1, 16, {0, -1}), flat ? 1 : s.pick(1, 16, {0, -1})};
    p.step = {s.pick(1, 8, {0, -1, std::numeric_limits<int>::max()}),
              s.pick(1, 8, {0, -1, std::numeric_limits<int>::max()}),
              s.pick(1, 8, {0, -1, std::numeric_limits<int>::max()})};
    p.minGroupSize = s.pick(1, 16, {0, -1, 1000, std::numeric_limits<int>::max()});
    p.matchThreshold = s.real(0.0f, 1000.0f);
    for (int a = 0; a < 3; ++a) p.splitBlockExtraction[a] = in.ConsumeIntegral<uint8_t>() & 1;
    p.sharpen = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    p.sharpenVariances = in.ConsumeBool();
    p.sharpenAlpha = s.real(0.5f, 3.0f);
    p.sharpenAlphaFirstSlice = s.real(0.5f, 3.0f);
    p.numThreads = s.pick(-1, kMaxThreads, {1025, std::numeric_limits<int>::max(),
                                            std::numeric_limits<int>::min()});
    p.deterministic = in.ConsumeBool();
    std::memset(p._reserved, in.ConsumeIntegral<uint8_t>(), sizeof p._reserved);

    // Shift tables of gridShiftCount entries (a null table only where refused).
    std::vector<int32_t> shifts[3];
    int32_t* counts[3] = {&p.gridShiftCount.x, &p.gridShiftCount.y, &p.gridShiftCount.z};
    const int32_t** tables[3] = {&p.gridShift.x, &p.gridShift.y, &p.gridShift.z};
    for (int a = 0; a < 3; ++a) {
        *counts[a] = s.pick(0, 6, {-1, 64, std::numeric_limits<int>::min()});
        shifts[a].resize(std::max(*counts[a], 1));
        for (int32_t& v : shifts[a]) v = s.pick(0, 8, {-1, 100, std::numeric_limits<int>::max()});
        *tables[a] = (*counts[a] > 1 && s.wild(5)) ? nullptr : shifts[a].data();
    }

    // Volumes of imageSize floats, PSD of psdSize floats.
    std::vector<float> noisy(elementsFor(p.imageSize));
    fillVolume(s, noisy);
    std::vector<float> psd(elementsFor(p.psdSize));
    if (in.ConsumeBool()) {
        std::fill(psd.begin(), psd.end(), s.real(1e-4f, 10.0f) * static_cast<float>(psd.size()));
    } else {
        fillVolume(s, psd);
    }

    CallerTransforms caller;
    const bool useCaller = s.wild(35);
    if (useCaller) buildTransforms(s, p, caller);
    VexaTransforms transforms{};
    if (useCaller) transforms = caller.set;

    Store store;
    const bool withStore = s.wild(30);
    if (withStore) buildStore(s, p, store);
    const int mode = in.ConsumeIntegralInRange<int>(0, 2); // HT, Wiener, HT then Wiener

    // The noise-distance table costs one variance table per displacement:
    // huge frequency grids with wide windows are correct but slow, and would
    // spend the fuzzing time on one input.
    if (timeBoundSeconds(p) > 120.0) p.matchNoiseFactor = 0.0f;

    const VexaParameters paramsBefore = p;
    const std::vector<float> noisyBefore = noisy, psdBefore = psd;
    std::vector<float> basic(noisy.size());
    if (mode == 1) fillVolume(s, basic);
    const bool dirtyOutput = s.wild(10);

    for (int call = 0; call < (mode == 2 ? 2 : 1); ++call) {
        const bool wiener = mode == 1 || call == 1;
        std::vector<float> output(noisy.size(), 0.0f);
        if (dirtyOutput)
            for (size_t i = 0; i < output.size(); ++i) output[i] = static_cast<float>(i % 7);
        const std::vector<float> outputBefore = output, basicBefore = basic;
        const double bound = timeBoundSeconds(p);
        Call c{wiener ? "vexaInterfaceWie" : "vexaInterfaceHT", -1, ""};
        currentCall = std::string(c.stage) + " " + describe(p) +
                      (useCaller ? " caller transforms" : " built-in transforms") +
                      (withStore ? " store reuse=" + std::to_string(store.s.reuseMatches) : "") +
                      " input range [" + std::to_string(*std::min_element(noisy.begin(), noisy.end())) +
                      ", " + std::to_string(*std::max_element(noisy.begin(), noisy.end())) + "]";
        if (std::getenv("VEXA_FUZZ_VERBOSE") != nullptr) say("stage_fuzzer: " + currentCall);
        const auto start = std::chrono::steady_clock::now();
        bool threw = false;
        {
            StderrCapture cap;
            try {
                c.status = wiener ? vexaInterfaceWie(noisy.data(), psd.data(), p, transforms,
                                                     basic.data(), output.data(),
                                                     withStore ? &store.s : nullptr)
                                  : vexaInterfaceHT(noisy.data(), psd.data(), p, transforms,
                                                    output.data(), withStore ? &store.s : nullptr);
            } catch (const std::exception& e) {
                threw = true;
                c.errText = e.what();
            }
            const std::string text = cap.finish();
            if (threw) {
                // The one exception allowed out: no transform set fits the blocks.
                const bool builtIn = (p.blockSize.x == 4 && p.blockSize.y == 4 &&
                                      p.blockSize.z == 4) ||
                                     (p.blockSize.x == 8 && p.blockSize.y == 8 && p.blockSize.z == 1);
                if (transforms.forward.x != nullptr || builtIn ||
                    c.errText != "No transform was passed, and no internal transform could be "
                                 "found to replace it!")
                    violated(std::string(c.stage) + " threw: " + c.errText);
                if (output != outputBefore) violated("output written before the exception");
                return 0;
            }
            c.errText = text;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > bound)
            violated(std::string(c.stage) + " ran " + std::to_string(seconds) +
                     " s, more than the bound of " + std::to_string(bound) + " s");
        checkOutcome(c, outputBefore, output);
        checkUnchanged(noisyBefore, noisy.data(), "noisy volume");
        checkUnchanged(psdBefore, psd.data(), "PSD");
        checkUnchanged(basicBefore, basic.data(), "basic estimate");
        if (std::memcmp(&paramsBefore, &p, sizeof p) != 0) violated("parameter block written");
        if (call == 0 && mode == 2) {
            if (c.status != VEXA_OK) break;
            basic = output; // the Wiener stage runs on the first stage's estimate
            if (withStore) store.s.reuseMatches = in.ConsumeBool() ? 1 : 0;
        }
    }
    return 0;
}
