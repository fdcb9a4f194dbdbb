// Starting the worker: once, from any number of daemon threads.

#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/request_channel.h"
#include "worker/bt_thread.h"

namespace {

int worker_count()
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

TEST(StartBtThread, NullAddressStartsNothing)
{
    testing::internal::CaptureStderr();
    start_bt_thread(nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("addr != NULL"), std::string::npos);
    EXPECT_FALSE(thread_running);
    EXPECT_EQ(pcscsidesock, -1);
}

TEST(StartBtThread, SecondStartWhileRunningChangesNothing)
{
    start_bt_thread("pemra:0");
    ASSERT_TRUE(thread_running);
    int pcsc_end = pcscsidesock;
    start_bt_thread("pemra:0");
    EXPECT_EQ(pcscsidesock, pcsc_end);
    EXPECT_EQ(worker_count(), 1);
}

TEST(StartBtThread, ConcurrentStartsMakeOneWorkerAndOnePair)
{
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([] { start_bt_thread("pemra:0"); });
    for (auto &caller : callers)
        caller.join();
    ASSERT_TRUE(thread_running);
    EXPECT_EQ(worker_count(), 1);
    // The one worker answers on the one pair: the empty slot's failure byte.
    EXPECT_EQ(icc_power_off(0), 0xFF);
}

} // namespace
