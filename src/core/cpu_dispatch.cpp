#include "core/cpu_dispatch.h"

#include <atomic>

namespace vexa {

namespace {

bool detectAvx2() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

std::atomic<int>& chosen() {
    static std::atomic<int> path{
        static_cast<int>(detectAvx2() ? KernelPath::Avx2 : KernelPath::Baseline)};
    return path;
}

} // namespace

bool cpuHasAvx2() {
    static const bool has = detectAvx2();
    return has;
}

KernelPath kernelPath() {
    return static_cast<KernelPath>(chosen().load(std::memory_order_relaxed));
}

KernelPath forceKernelPath(KernelPath path) {
    if (path == KernelPath::Avx2 && !cpuHasAvx2()) path = KernelPath::Baseline;
    chosen().store(static_cast<int>(path));
    return path;
}

} // namespace vexa
