#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/check.h"
#include "threading/thread_pool.h"

using vexa::CheckFailure;
using vexa::ThreadPool;

namespace {

ThreadPool& pool() {
    return ThreadPool::THREAD_POOL;
}

// Records the index order and the thread of every call.
struct Recorder {
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::thread::id> threads;

    void add(int i) {
        std::lock_guard<std::mutex> g(lock);
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
    }
};

std::vector<int> countsPerIndex(const std::vector<int>& order, int n) {
    std::vector<int> counts(n, 0);
    for (int i : order) {
        EXPECT_GE(i, 0);
        EXPECT_LT(i, n);
        if (i >= 0 && i < n) ++counts[i];
    }
    return counts;
}

class PoolTest : public ::testing::Test {
  protected:
    void TearDown() override { pool().clearPool(); }
};

} // namespace

// Must run before any other test launches the pool: the initial state is idle
// with eight loop indexes.
TEST(PoolIdle, LoopBeforeLaunchRunsHighestIndexFirstOnCaller) {
    ASSERT_TRUE(pool()._threads.empty());
    static bool firstRun = true;
    if (firstRun) {
        EXPECT_EQ(pool().getNumThreads(), 8);
    }
    // Under --gtest_repeat later runs restore the load-time count by hand.
    firstRun = false;
    pool().numThreads = 8;
    Recorder rec;
    pool().newLoopJob([&](int i) { rec.add(i); });
    EXPECT_EQ(rec.order, (std::vector<int>{7, 6, 5, 4, 3, 2, 1, 0}));
    for (auto id : rec.threads) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_TRUE(pool().available.load());
    EXPECT_EQ(pool().jobs, nullptr);
}

TEST_F(PoolTest, EveryIndexRunsOnceAndCallerRunsTheLast) {
    pool().launchPool(4);
    EXPECT_EQ(pool()._threads.size(), 3u);
    for (int round = 0; round < 20; ++round) {
        Recorder rec;
        pool().newLoopJob([&](int i) { rec.add(i); });
        EXPECT_EQ(countsPerIndex(rec.order, 4), (std::vector<int>{1, 1, 1, 1}));
        for (std::size_t k = 0; k < rec.order.size(); ++k) {
            if (rec.order[k] == 3) {
                EXPECT_EQ(rec.threads[k], std::this_thread::get_id());
            }
        }
    }
    EXPECT_TRUE(pool().available.load());
}

TEST_F(PoolTest, NestedLoopRunsSeriallyInOrderOnTheOuterThread) {
    pool().launchPool(3);
    std::mutex lock;
    std::vector<std::vector<int>> inner(3);
    std::vector<bool> sameThread(3, false);
    std::vector<bool> finishedBeforeReturn(3, false);
    pool().newLoopJob([&](int outer) {
        const auto self = std::this_thread::get_id();
        std::vector<int> seen;
        bool allHere = true;
        pool().newLoopJob([&](int i) {
            seen.push_back(i);
            allHere = allHere && std::this_thread::get_id() == self;
        });
        std::lock_guard<std::mutex> g(lock);
        finishedBeforeReturn[outer] = seen.size() == 3;
        inner[outer] = seen;
        sameThread[outer] = allHere;
    });
    for (int o = 0; o < 3; ++o) {
        EXPECT_EQ(inner[o], (std::vector<int>{0, 1, 2})) << "outer index " << o;
        EXPECT_TRUE(sameThread[o]);
        EXPECT_TRUE(finishedBeforeReturn[o]);
    }
}

TEST_F(PoolTest, NonPositiveCountsUseHardwareConcurrency) {
    const int hw = static_cast<int>(std::thread::hardware_concurrency());
    for (int request : {0, -3}) {
        if (hw < 1) {
            EXPECT_THROW(pool().launchPool(request), CheckFailure);
        } else {
            pool().launchPool(request);
            EXPECT_EQ(pool().getNumThreads(), hw);
            EXPECT_EQ(static_cast<int>(pool()._threads.size()), hw - 1);
            Recorder rec;
            pool().newLoopJob([&](int i) { rec.add(i); });
            EXPECT_EQ(countsPerIndex(rec.order, hw), std::vector<int>(hw, 1));
        }
        pool().clearPool();
    }
}

TEST_F(PoolTest, SingleThreadRunsOnlyIndexZeroOnCaller) {
    pool().launchPool(1);
    EXPECT_TRUE(pool()._threads.empty());
    Recorder rec;
    pool().newLoopJob([&](int i) { rec.add(i); });
    EXPECT_EQ(rec.order, std::vector<int>{0});
    EXPECT_EQ(rec.threads[0], std::this_thread::get_id());
    // Nothing was started, so a second launch is allowed.
    EXPECT_NO_THROW(pool().launchPool(1));
}

TEST_F(PoolTest, RelaunchAfterClearKeepsCountAndWorks) {
    pool().launchPool(5);
    pool().clearPool();
    EXPECT_TRUE(pool()._threads.empty());
    EXPECT_FALSE(pool().running.load());
    EXPECT_EQ(pool().getNumThreads(), 5);
    // An idle pool still completes a loop on the caller.
    Recorder idle;
    pool().newLoopJob([&](int i) { idle.add(i); });
    EXPECT_EQ(idle.order, (std::vector<int>{4, 3, 2, 1, 0}));

    pool().launchPool(2);
    EXPECT_EQ(pool().getNumThreads(), 2);
    Recorder rec;
    pool().newLoopJob([&](int i) { rec.add(i); });
    EXPECT_EQ(countsPerIndex(rec.order, 2), (std::vector<int>{1, 1}));
}

TEST_F(PoolTest, SecondLaunchWithoutClearFailsTheCheck) {
    pool().launchPool(2);
    try {
        pool().launchPool(3);
        FAIL() << "second launch accepted";
    } catch (const CheckFailure& f) {
        EXPECT_STREQ(f.text, "_threads.empty()");
    }
    // The refused launch changed nothing.
    EXPECT_EQ(pool()._threads.size(), 1u);
    EXPECT_EQ(pool().getNumThreads(), 2);
}

TEST_F(PoolTest, ThrowingBodyIsRethrownAfterEveryIndexAndPoolStaysUsable) {
    pool().launchPool(4);
    for (int bad : {0, 2, 3}) {
        std::atomic<int> ran{0};
        try {
            pool().newLoopJob([&](int i) {
                ran.fetch_add(1);
                if (i == bad) throw std::runtime_error("index failed");
            });
            FAIL() << "exception swallowed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "index failed");
        }
        EXPECT_EQ(ran.load(), 4) << "bad index " << bad;
        EXPECT_TRUE(pool().available.load());
        EXPECT_EQ(pool().jobs, nullptr);
    }
    // Every index failing: one of them comes back, the loop still ends.
    EXPECT_THROW(pool().newLoopJob([](int) { throw CheckFailure{"all"}; }), CheckFailure);

    Recorder rec;
    pool().newLoopJob([&](int i) { rec.add(i); });
    EXPECT_EQ(countsPerIndex(rec.order, 4), (std::vector<int>{1, 1, 1, 1}));
}

TEST_F(PoolTest, ThrowingNestedBodyStillRunsTheWholeInnerLoop) {
    pool().launchPool(3);
    std::atomic<int> innerRuns{0};
    std::atomic<int> caught{0};
    pool().newLoopJob([&](int) {
        try {
            pool().newLoopJob([&](int i) {
                innerRuns.fetch_add(1);
                if (i == 0) throw std::logic_error("inner");
            });
        } catch (const std::logic_error&) {
            caught.fetch_add(1);
        }
    });
    EXPECT_EQ(innerRuns.load(), 9);
    EXPECT_EQ(caught.load(), 3);
}

TEST_F(PoolTest, GetJobOnEmptyListLeavesJobUntouched) {
    int calls = 0;
    std::function<void()> job = [&] { ++calls; };
    EXPECT_FALSE(pool().getJob(job));
    ASSERT_TRUE(static_cast<bool>(job));
    job();
    EXPECT_EQ(calls, 1);
}
