#pragma once

#include <cstddef>
#include <functional>

namespace vexa {

// Every numeric buffer of the library comes from these wrappers around the C
// allocator, so that tests can make a chosen allocation fail. cMalloc returns
// blocks that start on a 64-byte line; release them with cFree only.
void* cMalloc(std::size_t bytes);
void* cRealloc(void* ptr, std::size_t bytes);
void cFree(void* ptr);

// Test hook: when set, it is asked before every cMalloc / cRealloc and the
// allocation fails (returns null) when it answers true. Pass an empty function
// to remove it. Not thread-safe against running stages; set it between calls.
void setAllocationFailureHook(std::function<bool(std::size_t bytes)> hook);

} // namespace vexa
