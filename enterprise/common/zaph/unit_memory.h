// Memory for the small objects of unit trees: the units (object.h), properties and traits
// (trait_holders.h). A tree of n values is about 2n such objects, each made and destroyed once
// per tree read, built or copied; a free list per size class and thread, in front of the global
// allocator, makes each of those a few instructions rather than a trip through malloc.
//
//   PooledObject      a base whose operator new and delete take blocks from the pool
//   ShareUnit         a unit's shared owner, its control block from the pool
//
// Blocks are requested from ::operator new in the size of their class: 24, 40, 56 ... 136 bytes,
// eight short of a multiple of 16, the sizes that glibc's malloc serves without slack (its chunks
// carry an eight-byte header and are multiples of 16). Any block of a class fits any object of
// that class, whichever thread made it: a tree may be built on one thread and destroyed on
// another. A thread keeps at most kMaxCachedBlocks blocks of each class;
// blocks freed beyond that, and every block freed after the thread's lists were released at its
// exit, go back to ::operator delete. Objects larger than kMaxPooledSize bypass the pool.
//
// Builds with AddressSanitizer or ThreadSanitizer use the global allocator directly, so that the
// sanitizers see every object's lifetime.
//
// Thread-safety: the lists are per thread; nothing is shared.
#pragma once

#include <cstddef>
#include <memory>

#include "enterprise/common/zaph/construction.h"

namespace Zaph::Detail {

/// Whether the pool is in use: not under AddressSanitizer or ThreadSanitizer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnitMemoryPooled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kUnitMemoryPooled = false;
#else
inline constexpr bool kUnitMemoryPooled = true;
#endif
#else
inline constexpr bool kUnitMemoryPooled = true;
#endif

/// The step between the block sizes of two classes.
inline constexpr size_t kUnitMemoryGrain = 16;
/// The largest object served by the pool.
inline constexpr size_t kMaxPooledSize = 128;
/// The most blocks a thread keeps per size class.
inline constexpr size_t kMaxCachedBlocks = 4096;

/// A block of at least `size` bytes.
void* AllocateUnitMemory(size_t size);
/// Returns the block of `size` bytes (the size it was allocated with) at `block`.
void FreeUnitMemory(void* block, size_t size) noexcept;

/// Derive from it to place the objects of a class in the pool.
struct PooledObject {
    static void* operator new(size_t size) { return AllocateUnitMemory(size); }
    static void operator delete(void* block, size_t size) noexcept { FreeUnitMemory(block, size); }
};

/// An allocator over the pool.
template <class T>
struct UnitMemoryAllocator {
    using value_type = T;
    UnitMemoryAllocator() = default;
    template <class U>
    UnitMemoryAllocator(const UnitMemoryAllocator<U>&) noexcept {}
    T* allocate(size_t count) { return static_cast<T*>(AllocateUnitMemory(count * sizeof(T))); }
    void deallocate(T* block, size_t count) noexcept { FreeUnitMemory(block, count * sizeof(T)); }
    template <class U>
    bool operator==(const UnitMemoryAllocator<U>&) const noexcept {
        return true;
    }
};

/// `unit` under a shared owner; the owner's control block comes from the pool. A null unit gives
/// a null owner.
inline View::SharedUnitPtr ShareUnit(Construction::UnitPtr unit) {
    if (unit == nullptr) {
        return nullptr;
    }
    // Released first: should the control block not be had, the owner's constructor deletes it.
    return View::SharedUnitPtr(unit.release(), std::default_delete<Construction::Unit>(),
                               UnitMemoryAllocator<char>());
}

}  // namespace Zaph::Detail
