#include "threading/thread_pool.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "core/check.h"

namespace vexa {
namespace {

std::mutex jobMutex;
// Workers wait here for jobs (or the end of the pool); the loop's caller waits
// here for the last index to finish. Both are guarded by jobMutex.
std::condition_variable jobsPosted;
std::condition_variable jobFinished;

void markCompleted(ThreadPool* pool) {
    {
        std::lock_guard<std::mutex> guard(jobMutex);
        pool->completed.fetch_add(1);
    }
    jobFinished.notify_all();
}

// First exception of a loop job; the other indexes still run to their end.
struct LoopErrors {
    std::mutex lock;
    std::exception_ptr first;

    void record(std::exception_ptr e) {
        std::lock_guard<std::mutex> guard(lock);
        if (!first) first = e;
    }
};

void runGuarded(const std::function<void(int)>& body, int i, LoopErrors& errors) {
    try {
        body(i);
    } catch (...) {
        errors.record(std::current_exception());
    }
}

void workerLoop(ThreadPool* pool) {
    std::function<void()> job;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(jobMutex);
            jobsPosted.wait(lock,
                            [pool] { return pool->jobs != nullptr || !pool->running.load(); });
            if (!pool->running.load() && pool->jobs == nullptr) break;
        }
        if (!pool->getJob(job)) continue;
        // Jobs catch their own exceptions; this guard only keeps a stray one
        // from terminating the process.
        try {
            job();
        } catch (...) {
        }
        job = nullptr;
        markCompleted(pool);
    }
}

void stopWorkers(ThreadPool* pool) {
    {
        std::lock_guard<std::mutex> guard(jobMutex);
        pool->running = false;
    }
    jobsPosted.notify_all();
}

} // namespace

ThreadPool ThreadPool::THREAD_POOL;

ThreadPool::~ThreadPool() {
    // A joinable thread may not be destroyed; stop the workers first.
    stopWorkers(this);
    for (std::thread& t : _threads)
        if (t.joinable()) t.join();
    _threads.clear();
    while (jobs) {
        JobNode* next = jobs->next;
        delete jobs;
        jobs = next;
    }
}

void ThreadPool::launchPool(int count) {
    if (count <= 0) count = static_cast<int>(std::thread::hardware_concurrency());
    running = true;
    VEXA_CHECK(_threads.empty(), "_threads.empty()");
    VEXA_CHECK(count >= 1, "numThreads >= 1");
    numThreads = count;
    for (int i = 1; i < count; ++i) _threads.emplace_back(workerLoop, this);
}

void ThreadPool::newLoopJob(const std::function<void(int)>& body) {
    const int n = numThreads;
    if (!available.load()) {
        // Nested loop: the whole loop runs serially on this thread.
        LoopErrors errors;
        for (int i = 0; i < n; ++i) runGuarded(body, i, errors);
        if (errors.first) std::rethrow_exception(errors.first);
        return;
    }
    if (n == 1) {
        body(0);
        return;
    }
    if (n <= 0) return;

    available = false;
    completed = 0;
    LoopErrors errors;
    for (int i = 0; i < n; ++i) {
        if (i == n - 1) {
            runGuarded(body, i, errors);
            completed.fetch_add(1);
        } else {
            JobNode* node = nullptr;
            try {
                node = new JobNode{nullptr, [&body, &errors, i] { runGuarded(body, i, errors); }};
            } catch (...) {
                node = nullptr;
            }
            if (!node) {
                // No memory for the node: the index runs here instead of being lost.
                runGuarded(body, i, errors);
                completed.fetch_add(1);
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(jobMutex);
                node->next = jobs;
                jobs = node;
            }
            jobsPosted.notify_one();
        }
    }
    std::function<void()> job;
    while (completed.load() < n) {
        if (getJob(job)) {
            job();
            job = nullptr;
            markCompleted(this);
            continue;
        }
        std::unique_lock<std::mutex> lock(jobMutex);
        jobFinished.wait(lock, [this, n] { return jobs != nullptr || completed.load() >= n; });
    }
    available = true;
    if (errors.first) std::rethrow_exception(errors.first);
}

bool ThreadPool::getJob(std::function<void()>& job) {
    JobNode* node = nullptr;
    {
        std::lock_guard<std::mutex> guard(jobMutex);
        if (!jobs) return false;
        node = jobs;
        jobs = node->next;
    }
    job = std::move(node->job);
    delete node;
    return true;
}

void ThreadPool::clearPool() {
    stopWorkers(this);
    for (std::thread& t : _threads) t.join();
    _threads.clear();
}

} // namespace vexa
