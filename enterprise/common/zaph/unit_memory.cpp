#include "enterprise/common/zaph/unit_memory.h"

#include <new>

namespace Zaph::Detail {
namespace {

// Block sizes: 24 for the first class, then kUnitMemoryGrain more for each.
constexpr size_t kSmallestBlock = 24;
constexpr size_t kClasses =
    (kMaxPooledSize - kSmallestBlock + kUnitMemoryGrain - 1) / kUnitMemoryGrain + 1;

struct FreeBlock {
    FreeBlock* next;
};

// A thread's free lists. Trivially destructible, so that its storage outlives the thread's other
// thread-local objects: a unit that one of their destructors destroys still finds it, released.
struct ThreadLists {
    FreeBlock* heads[kClasses];
    size_t counts[kClasses];
    // The releaser below is registered for the thread.
    bool registered;
    // The thread is ending: blocks go back to the global allocator.
    bool released;
};
thread_local ThreadLists lists{};

// Gives a thread's cached blocks back when it ends.
struct Releaser {
    ~Releaser() {
        lists.released = true;
        for (size_t sizeClass = 0; sizeClass < kClasses; ++sizeClass) {
            while (FreeBlock* block = lists.heads[sizeClass]) {
                lists.heads[sizeClass] = block->next;
                ::operator delete(block);
            }
            lists.counts[sizeClass] = 0;
        }
    }
};
thread_local Releaser releaser;

// The class of a block of at least `size` (1 to kMaxPooledSize) bytes.
size_t ClassOf(size_t size) {
    return size <= kSmallestBlock
               ? 0
               : (size - kSmallestBlock + kUnitMemoryGrain - 1) / kUnitMemoryGrain;
}

size_t BlockSize(size_t sizeClass) {
    return kSmallestBlock + sizeClass * kUnitMemoryGrain;
}

}  // namespace

void* AllocateUnitMemory(size_t size) {
    if (!kUnitMemoryPooled || size == 0 || size > kMaxPooledSize) {
        return ::operator new(size);
    }
    const size_t sizeClass = ClassOf(size);
    ThreadLists& own = lists;
    if (FreeBlock* block = own.heads[sizeClass]) {
        own.heads[sizeClass] = block->next;
        --own.counts[sizeClass];
        return block;
    }
    return ::operator new(BlockSize(sizeClass));
}

void FreeUnitMemory(void* block, size_t size) noexcept {
    if (block == nullptr) {
        return;
    }
    ThreadLists& own = lists;
    const size_t sizeClass = ClassOf(size);
    if (!kUnitMemoryPooled || size == 0 || size > kMaxPooledSize || own.released ||
        own.counts[sizeClass] >= kMaxCachedBlocks) {
        ::operator delete(block);
        return;
    }
    if (!own.registered) {
        own.registered = true;
        // Constructs the thread's releaser, which registers its destructor for the thread.
        [[maybe_unused]] Releaser* registered = &releaser;
    }
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = own.heads[sizeClass];
    own.heads[sizeClass] = freed;
    ++own.counts[sizeClass];
}

}  // namespace Zaph::Detail
