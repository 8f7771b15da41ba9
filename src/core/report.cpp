#include "core/report.h"

#include <cstdio>
#include <mutex>

#include "vexa.h"

namespace vexa {

#define VEXA_SAME_STATUS(status, code)                                                             \
    static_assert(static_cast<int>(Status::status) == code, #code)
VEXA_SAME_STATUS(Ok, VEXA_OK);
VEXA_SAME_STATUS(InvalidArgument, VEXA_ERROR_INVALID_ARGUMENT);
VEXA_SAME_STATUS(OutOfMemory, VEXA_ERROR_OUT_OF_MEMORY);
VEXA_SAME_STATUS(Internal, VEXA_ERROR_INTERNAL);
VEXA_SAME_STATUS(Cancelled, VEXA_ERROR_CANCELLED);
VEXA_SAME_STATUS(Threads, VEXA_ERROR_THREADS);
VEXA_SAME_STATUS(Busy, VEXA_ERROR_BUSY);
#undef VEXA_SAME_STATUS

namespace {
std::mutex reportMutex;
std::string messages;
Status firstStatus = Status::Ok;
thread_local bool lastCallRejected = false;
thread_local std::string rejectedLine;

void writeLine(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
} // namespace

void reportFailure(Status status, const std::string& line) {
    std::lock_guard<std::mutex> lock(reportMutex);
    writeLine(line);
    if (!messages.empty()) messages += '\n';
    messages += line;
    if (firstStatus == Status::Ok) firstStatus = status;
}

void reportRejectedCall(const std::string& line) {
    rejectedLine = line;
    lastCallRejected = true;
    std::lock_guard<std::mutex> lock(reportMutex);
    writeLine(line);
}

void beginReportCall() {
    lastCallRejected = false;
    std::lock_guard<std::mutex> lock(reportMutex);
    messages.clear();
    firstStatus = Status::Ok;
}

Status reportedStatus() {
    std::lock_guard<std::mutex> lock(reportMutex);
    return firstStatus;
}

const char* reportedMessages() {
    if (lastCallRejected) return rejectedLine.c_str();
    std::lock_guard<std::mutex> lock(reportMutex);
    return messages.c_str();
}

} // namespace vexa
