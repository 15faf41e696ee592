#include "util/shm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// Unique per process and per call, so parallel test runs never share a block.
std::string unique_name()
{
    static std::atomic<int> n{0};
    return "dravlin_shm_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++);
}

TEST(Shm, CreateOpenShareAndClose)
{
    std::string name = unique_name();
    ShmBlock made;
    ASSERT_EQ(shm_create(name.c_str(), 100, &made), 0);
    ASSERT_NE(made.address, nullptr);
    std::memcpy(made.address, "hello", 6);

    ShmBlock reader;
    ASSERT_EQ(shm_open(name.c_str(), false, &reader), 0);
    EXPECT_EQ(reader.size, 1024u);  // the whole object, rounded up to 1024 bytes
    EXPECT_STREQ(static_cast<const char*>(reader.address), "hello");

    ShmBlock writer;
    ASSERT_EQ(shm_open(("/" + name).c_str(), true, &writer), 0);
    std::memcpy(static_cast<char*>(writer.address) + 1000, "end", 4);
    EXPECT_STREQ(static_cast<const char*>(reader.address) + 1000, "end");

    EXPECT_EQ(shm_close(&writer), 0);
    EXPECT_EQ(shm_close(&reader), 0);
    EXPECT_EQ(reader.address, nullptr);
    EXPECT_EQ(reader.handle, 0);
    EXPECT_EQ(shm_close(&made), 0);
    EXPECT_EQ(made.address, nullptr);
    EXPECT_EQ(made.handle, 0);
    EXPECT_EQ(shm_close(&made), 0);  // closing twice is harmless

    // The creator's close removes the name.
    EXPECT_EQ(shm_open(name.c_str(), false, &reader), -2);
}

TEST(Shm, SecondCreateOfANameLeavesTheFirstIntact)
{
    std::string name = unique_name();
    ShmBlock first;
    ASSERT_EQ(shm_create(name.c_str(), 4096, &first), 0);
    std::memcpy(first.address, "first", 6);
    ShmBlock before = first;

    EXPECT_EQ(shm_create(name.c_str(), 4096, &first), -2);
    EXPECT_EQ(first.address, before.address);
    EXPECT_EQ(first.handle, before.handle);

    ShmBlock second;
    EXPECT_EQ(shm_create(name.c_str(), 10, &second), -2);
    EXPECT_EQ(second.address, nullptr);
    EXPECT_STREQ(static_cast<const char*>(first.address), "first");

    ShmBlock again;
    ASSERT_EQ(shm_open(name.c_str(), false, &again), 0);
    EXPECT_EQ(again.size, 4096u);
    EXPECT_STREQ(static_cast<const char*>(again.address), "first");
    shm_close(&again);
    shm_close(&first);
}

TEST(Shm, ResultCodes)
{
    ShmBlock b;
    std::string name = unique_name();
    EXPECT_EQ(shm_create(nullptr, 10, &b), -1);
    EXPECT_EQ(shm_create(name.c_str(), 10, nullptr), -1);
    EXPECT_EQ(shm_create(name.c_str(), 0, &b), -1);
    EXPECT_EQ(shm_create("a/b", 10, &b), -3);  // not a valid object name
    EXPECT_EQ(shm_create(std::string(300, 'n').c_str(), 10, &b), -3);
    EXPECT_EQ(shm_create(name.c_str(), SIZE_MAX - 10, &b), -3);  // rounding must not wrap
    EXPECT_EQ(b.address, nullptr);

    EXPECT_EQ(shm_open(nullptr, true, &b), -1);
    EXPECT_EQ(shm_open(name.c_str(), true, nullptr), -1);
    EXPECT_EQ(shm_open(name.c_str(), true, &b), -2);  // no such block
    EXPECT_EQ(shm_open(std::string(300, 'n').c_str(), true, &b), -2);
    EXPECT_EQ(shm_close(nullptr), -1);
    EXPECT_EQ(b.address, nullptr);
}

}  // namespace
