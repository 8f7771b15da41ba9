#include "core/check.h"

namespace vexa {

void checkFailed(const char* text) { throw CheckFailure{text}; }

} // namespace vexa
