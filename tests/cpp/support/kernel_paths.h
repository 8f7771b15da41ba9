#pragma once

#include <gtest/gtest.h>

#include "core/cpu_dispatch.h"

namespace vexa_fixtures {

// Runs body once per kernel build this CPU can run, restoring the choice.
template <class Body>
void onEveryPath(const Body& body) {
    using vexa::KernelPath;
    const KernelPath before = vexa::kernelPath();
    int ran = 0;
    for (KernelPath path : {KernelPath::Baseline, KernelPath::Avx2}) {
        if (vexa::forceKernelPath(path) != path) continue;
        SCOPED_TRACE(path == KernelPath::Avx2 ? "avx2 path" : "baseline path");
        body();
        ++ran;
    }
    vexa::forceKernelPath(before);
    EXPECT_GE(ran, 1);
}

} // namespace vexa_fixtures
