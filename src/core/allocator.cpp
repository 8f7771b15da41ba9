#include "core/allocator.h"

#include <cstdlib>

namespace vexa {
namespace {
std::function<bool(std::size_t)>& failureHook() {
    static std::function<bool(std::size_t)> hook;
    return hook;
}
} // namespace

void* cMalloc(std::size_t bytes) {
    if (failureHook() && failureHook()(bytes)) return nullptr;
    return std::malloc(bytes);
}

void* cRealloc(void* ptr, std::size_t bytes) {
    if (failureHook() && failureHook()(bytes)) return nullptr;
    return std::realloc(ptr, bytes);
}

void cFree(void* ptr) { std::free(ptr); }

void setAllocationFailureHook(std::function<bool(std::size_t)> hook) {
    failureHook() = std::move(hook);
}

} // namespace vexa
