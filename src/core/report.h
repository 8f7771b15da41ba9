#pragma once

#include <string>

namespace vexa {

// Status codes of a stage; the same values as VexaStatus in vexa.h.
enum class Status : int {
    Ok = 0,
    InvalidArgument = 1,
    OutOfMemory = 2,
    Internal = 3,
    Cancelled = 4,
    Threads = 5,
};

// Writes one line (text + newline) to the standard error stream and flushes,
// remembers it as part of the current call's messages, and records status as
// the call's failure kind unless an earlier failure is already recorded.
void reportFailure(Status status, const std::string& line);

// Starts a new call: forgets the previous call's messages and status.
void beginReportCall();

// First failure kind recorded since beginReportCall (Ok when none).
Status reportedStatus();

// The current call's messages joined by newlines (valid until the next call).
const char* reportedMessages();

} // namespace vexa
