// Starting the worker: once, from any number of daemon threads.

#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "worker/worker.h"

namespace {

using namespace std::chrono_literals;

Worker &worker() { return Worker::instance(); }

// A request for the slot, which is empty: the worker answers it at once.
Done power_off()
{
    Outcome<std::size_t> answer = worker().requests().exchange(0, REQ_POWER_OFF, {}, {});
    return answer ? succeeded() : Done(answer.failure());
}

int named_worker_threads()
{
    int count = 0;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        count += name == "pemra-worker";
    }
    closedir(tasks);
    return count;
}

// Threads that the worker starts carry its name until they name themselves
// (GLib's "gdbus" does so first thing), and a joined thread stays in /proc
// for a moment: whether the count settles at `expected` within a second.
bool worker_count_is(int expected)
{
    for (int tries = 0; tries < 100; ++tries) {
        if (named_worker_threads() == expected)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(WorkerStart, BeforeTheFirstStartRequestsFailAtOnce)
{
    EXPECT_FALSE(worker().running());
    EXPECT_EQ(power_off().failure(), Failure::ChannelClosed);
}

TEST(WorkerStart, SecondStartWhileRunningChangesNothing)
{
    worker().start();
    ASSERT_TRUE(worker().running());
    worker().start();
    EXPECT_TRUE(worker_count_is(1));
    // Still the pair that the running worker serves: a new one would go
    // unanswered.
    worker().requests().set_reply_wait(5s);
    EXPECT_EQ(power_off().failure(), Failure::NoSession);
}

TEST(WorkerStart, ConcurrentStartsMakeOneWorkerAndOnePair)
{
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([] { worker().start(); });
    for (auto &caller : callers)
        caller.join();
    ASSERT_TRUE(worker().running());
    EXPECT_TRUE(worker_count_is(1));
    // The one worker answers on the one pair: the empty slot's failure.
    EXPECT_EQ(power_off().failure(), Failure::NoSession);
}

TEST(WorkerStart, AStoppedWorkerStartsAgainOnANewPair)
{
    worker().start();
    ASSERT_TRUE(worker().running());
    worker().stop();
    EXPECT_FALSE(worker().running());
    EXPECT_TRUE(worker_count_is(0));
    EXPECT_EQ(power_off().failure(), Failure::ChannelClosed);
    worker().start();
    EXPECT_TRUE(worker_count_is(1));
    EXPECT_EQ(power_off().failure(), Failure::NoSession);
}

// No thread can be made (memory, RLIMIT_NPROC): requests fail at once, and a
// later start tries again. Here new threads ask for a stack too large to map.
TEST(WorkerStart, AWorkerThatCannotStartFailsRequestsAtOnceAndIsTriedAgain)
{
    pthread_attr_t usual;
    pthread_getattr_default_np(&usual);
    pthread_attr_t huge_stack;
    pthread_attr_init(&huge_stack);
    pthread_attr_setstacksize(&huge_stack, std::size_t{1} << 46);
    pthread_setattr_default_np(&huge_stack);
    worker().start();
    pthread_setattr_default_np(&usual);
    pthread_attr_destroy(&huge_stack);
    pthread_attr_destroy(&usual);
    ASSERT_FALSE(worker().running());
    EXPECT_EQ(power_off().failure(), Failure::ChannelClosed);
    worker().start();
    EXPECT_TRUE(worker().running());
    EXPECT_EQ(power_off().failure(), Failure::NoSession);
}

} // namespace
