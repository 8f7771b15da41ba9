#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace vexa {

// Process-wide pool running parallel loops over the indexes 0 .. N-1. The
// calling thread takes part; a loop started from inside a loop body runs
// serially on that thread. Idle workers sleep on a condition variable until
// a loop hands out jobs, so they take no CPU from the stage's serial set-up.
class ThreadPool {
  public:
    struct JobNode {
        JobNode* next;
        std::function<void()> job;
    };

    static ThreadPool THREAD_POOL;

    ThreadPool() = default;
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Starts numThreads - 1 workers (numThreads < 1: hardware concurrency).
    void launchPool(int numThreads);
    // Runs body(i) for every i in 0 .. N-1 and returns when all have returned.
    // An exception thrown by a body is rethrown here after every index ended.
    void newLoopJob(const std::function<void(int)>& body);
    bool getJob(std::function<void()>& job);
    // Stops and joins every worker.
    void clearPool();
    int getNumThreads() const { return numThreads; }

    JobNode* jobs = nullptr;
    std::vector<std::thread> _threads;
    std::atomic<bool> available{true};
    std::atomic<int> completed{0};
    int numThreads = 8;
    std::atomic<bool> running{false};
};

} // namespace vexa
