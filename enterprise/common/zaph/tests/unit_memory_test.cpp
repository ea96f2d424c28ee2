// The unit memory pool: blocks reused within their size class, across threads, and objects too
// large for it.

#include "enterprise/common/zaph/unit_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

using Zaph::Detail::AllocateUnitMemory;
using Zaph::Detail::FreeUnitMemory;

// A block holds its whole size; once freed, the next request of the same class on the thread
// gets it back (in pooled builds), and one of another class does not.
TEST(UnitMemory, AFreedBlockServesTheNextRequestOfItsSizeClass) {
    const struct {
        size_t size, sameClass, otherClass;
    } cases[] = {{1, 24, 25}, {25, 40, 41}, {100, 104, 105}, {128, 121, 120}, {129, 129, 64}};
    for (const auto& c : cases) {
        void* block = AllocateUnitMemory(c.size);
        std::memset(block, 0xA5, c.size);
        FreeUnitMemory(block, c.size);
        void* other = AllocateUnitMemory(c.otherClass);
        void* same = AllocateUnitMemory(c.sameClass);
        std::memset(same, 0x5A, c.sameClass);
        if (Zaph::Detail::kUnitMemoryPooled && c.size <= Zaph::Detail::kMaxPooledSize) {
            EXPECT_EQ(same, block) << c.size;
            EXPECT_NE(other, block) << c.size;
        }
        FreeUnitMemory(same, c.sameClass);
        FreeUnitMemory(other, c.otherClass);
    }
}

// A block made on one thread and freed on another serves the freeing thread; the making thread
// ends meanwhile, giving back what it kept.
TEST(UnitMemory, ABlockFreedOnAnotherThreadServesThatThread) {
    void* made = nullptr;
    std::thread maker([&made] {
        made = AllocateUnitMemory(40);
        FreeUnitMemory(AllocateUnitMemory(40), 40);
    });
    maker.join();
    FreeUnitMemory(made, 40);
    void* again = AllocateUnitMemory(32);
    if (Zaph::Detail::kUnitMemoryPooled) {
        EXPECT_EQ(again, made);
    }
    FreeUnitMemory(again, 32);
}

}  // namespace
