#pragma once

namespace vexa {

// Thrown by a failed consistency check. It is not a std::exception on purpose:
// the stage driver and the job wrapper catch it, report
// "Internal check failed: <text>" once and end the stage with a false result.
// It never leaves an entry point.
struct CheckFailure {
    const char* text;
};

[[noreturn]] void checkFailed(const char* text);

} // namespace vexa

// The text is the fixed check text, e.g. VEXA_CHECK(x > 0, "params.step > 0").
#define VEXA_CHECK(cond, text)                                                                     \
    do {                                                                                           \
        if (!(cond)) ::vexa::checkFailed(text);                                                    \
    } while (0)
