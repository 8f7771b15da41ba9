#pragma once

#include <string>

namespace vexa {

// Status codes of a stage; the same values as VexaStatus in vexa.h (checked
// at compile time in report.cpp).
enum class Status : int {
    Ok = 0,
    InvalidArgument = 1,
    OutOfMemory = 2,
    Internal = 3,
    Cancelled = 4,
    Threads = 5,
    Busy = 6,
};

// Writes one line (text + newline) to the standard error stream and flushes,
// remembers it as part of the current call's messages, and records status as
// the call's failure kind unless an earlier failure is already recorded.
void reportFailure(Status status, const std::string& line);

// A call turned away because another one runs: writes the line to the
// standard error stream and keeps it as the calling thread's last message,
// leaving the running call's messages and status alone.
void reportRejectedCall(const std::string& line);

// Starts a new call on this thread: forgets the previous call's messages and status.
void beginReportCall();

// First failure kind recorded since beginReportCall (Ok when none).
Status reportedStatus();

// The current call's messages joined by newlines (valid until the next call);
// on a thread whose last call was rejected, that call's one line.
const char* reportedMessages();

} // namespace vexa
