#pragma once

#include <atomic>
#include <cstdint>

namespace vexa {

// Progress and cancellation of the running stage, shared with the host.
struct StageProgress {
    std::atomic<std::int64_t> done{0};
    std::atomic<std::int64_t> total{0};
    std::atomic<bool> cancelRequested{false};
};

StageProgress& stageProgress();

} // namespace vexa
