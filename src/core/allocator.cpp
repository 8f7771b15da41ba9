#include "core/allocator.h"

#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace vexa {
namespace {

// Buffers start on a cache line: rows of 16 floats then never straddle two.
constexpr std::size_t kAlignment = 64;

std::function<bool(std::size_t)>& failureHook() {
    static std::function<bool(std::size_t)> hook;
    return hook;
}
} // namespace

void* cMalloc(std::size_t bytes) {
    if (failureHook() && failureHook()(bytes)) return nullptr;
    if (bytes == 0) bytes = 1;
#if defined(_WIN32)
    return _aligned_malloc(bytes, kAlignment);
#else
    void* p = nullptr;
    return posix_memalign(&p, kAlignment, bytes) == 0 ? p : nullptr;
#endif
}

void* cRealloc(void* ptr, std::size_t bytes) {
    if (failureHook() && failureHook()(bytes)) return nullptr;
    if (bytes == 0) bytes = 1;
#if defined(_WIN32)
    return _aligned_realloc(ptr, bytes, kAlignment);
#else
    // Keeps the contents; the block may move off the cache-line start.
    return std::realloc(ptr, bytes);
#endif
}

void cFree(void* ptr) {
#if defined(_WIN32)
    _aligned_free(ptr);
#else
    std::free(ptr);
#endif
}

void setAllocationFailureHook(std::function<bool(std::size_t)> hook) {
    failureHook() = std::move(hook);
}

} // namespace vexa
