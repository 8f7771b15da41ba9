#include "stage/progress.h"

namespace vexa {

StageProgress& stageProgress() {
    // The atomics are constant-initialised: nothing runs at load time.
    static StageProgress progress;
    return progress;
}

} // namespace vexa
