#include "core/report.h"

#include <cstdio>
#include <mutex>

namespace vexa {
namespace {
std::mutex reportMutex;
std::string messages;
Status firstStatus = Status::Ok;
} // namespace

void reportFailure(Status status, const std::string& line) {
    std::lock_guard<std::mutex> lock(reportMutex);
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (!messages.empty()) messages += '\n';
    messages += line;
    if (firstStatus == Status::Ok) firstStatus = status;
}

void beginReportCall() {
    std::lock_guard<std::mutex> lock(reportMutex);
    messages.clear();
    firstStatus = Status::Ok;
}

Status reportedStatus() {
    std::lock_guard<std::mutex> lock(reportMutex);
    return firstStatus;
}

const char* reportedMessages() {
    std::lock_guard<std::mutex> lock(reportMutex);
    return messages.c_str();
}

} // namespace vexa
