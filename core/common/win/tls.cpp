#include "core/common/win/tls.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/common/assert.h"

namespace Common {
namespace {

static_assert(sizeof(pthread_key_t) <= sizeof(Tls::Key));

// The registered callback and its slot; both change only under gRegistrationLock.
std::mutex gRegistrationLock;
std::atomic<Tls::Callback> gCallback{nullptr};
std::atomic<Tls::Key> gCallbackKey{Tls::OUT_OF_INDEXES};
std::once_flag gExitHandlerOnce;

bool CheckKey(Tls::Key key) {
    COMMON_ASSERT_TEXT(key != Tls::OUT_OF_INDEXES, "key != Common::Tls::OUT_OF_INDEXES");
    return key != Tls::OUT_OF_INDEXES;
}

// Thread exit: the C library has already cleared the value and passes it only when not null.
void CleanUpAtThreadExit(void* value) {
    const Tls::Callback callback = gCallback.load(std::memory_order_acquire);
    if (callback != nullptr) {
        callback(value);
    }
}

// Process exit: the C library runs no key destructors for the thread that calls exit.
void CleanUpAtProcessExit() {
    const Tls::Key key = gCallbackKey.load(std::memory_order_acquire);
    const Tls::Callback callback = gCallback.load(std::memory_order_acquire);
    if (key == Tls::OUT_OF_INDEXES || callback == nullptr) {
        return;
    }
    void* value = pthread_getspecific(static_cast<pthread_key_t>(key));
    if (value != nullptr) {
        pthread_setspecific(static_cast<pthread_key_t>(key), nullptr);
        callback(value);
    }
}

}  // namespace

Tls::Key Tls::Allocate(Callback callback) {
    pthread_key_t key{};
    if (callback == nullptr) {
        return pthread_key_create(&key, nullptr) == 0 ? static_cast<Key>(key) : OUT_OF_INDEXES;
    }
    std::lock_guard<std::mutex> lock(gRegistrationLock);
    const bool unregistered = gCallback.load(std::memory_order_relaxed) == nullptr;
    COMMON_ASSERT_TEXT(unregistered, "_Callback == 0");
    if (!unregistered || pthread_key_create(&key, &CleanUpAtThreadExit) != 0) {
        return OUT_OF_INDEXES;
    }
    std::call_once(gExitHandlerOnce, [] { std::atexit(&CleanUpAtProcessExit); });
    gCallbackKey.store(static_cast<Key>(key), std::memory_order_release);
    gCallback.store(callback, std::memory_order_release);
    return static_cast<Key>(key);
}

void Tls::Free(Key key) {
    if (!CheckKey(key)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(gRegistrationLock);
        if (gCallbackKey.load(std::memory_order_relaxed) == key) {
            gCallback.store(nullptr, std::memory_order_release);
            gCallbackKey.store(OUT_OF_INDEXES, std::memory_order_release);
        }
    }
    pthread_key_delete(static_cast<pthread_key_t>(key));
}

void* Tls::GetValue(Key key) {
    if (!CheckKey(key)) {
        return nullptr;
    }
    return pthread_getspecific(static_cast<pthread_key_t>(key));
}

void Tls::SetValue(Key key, void* value) {
    if (!CheckKey(key)) {
        return;
    }
    pthread_setspecific(static_cast<pthread_key_t>(key), value);
}

}  // namespace Common
