#pragma once

namespace vexa {

// Single-precision complex pair; arrays are interleaved re0, im0, re1, im1, ...
struct Complex {
    float re;
    float im;
};

} // namespace vexa
