#include "enterprise/common/kivo/tools/dump/run_end.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "enterprise/common/kivo/tools/dump/output.h"

namespace KivoDump {
namespace {

// The self-pipe of the signals: made once for the process, never closed (file comment).
struct SelfPipe {
    int read = -1;
    int write = -1;
    // The system's error when the pipe could not be made; 0 otherwise.
    int failure = 0;
};

const SelfPipe& TheSelfPipe() {
    static const SelfPipe made = [] {
        SelfPipe pipe;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            pipe.read = ends[0];
            pipe.write = ends[1];
        } else {
            pipe.failure = errno;
        }
        return pipe;
    }();
    return made;
}

// Where the signal handler writes; -1 while no end is armed.
std::atomic<int> signalDescriptor{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    const int descriptor = signalDescriptor.load();
    if (descriptor >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        // A full pipe already holds a wake-up.
        [[maybe_unused]] const ssize_t written = ::write(descriptor, &byte, 1);
    }
    errno = savedErrno;
}

// Catches `signal` with the stop handler; `previous` receives what was there. A signal found
// ignored is left ignored.
void Catch(int signal, struct sigaction& previous) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // The libraries' threads may be inside system calls when the signal reaches them.
    action.sa_flags = SA_RESTART;
    if (::sigaction(signal, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        ::sigaction(signal, &previous, nullptr);
    }
}

}  // namespace

RunEnd::RunEnd(uint32_t failureCode, Common::MessageId failureMessage)
    : wakeDescriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    const int eventfdFailure = wakeDescriptor_ < 0 ? errno : 0;
    const int failure = eventfdFailure != 0 ? eventfdFailure : TheSelfPipe().failure;
    if (failure != 0) {
        if (wakeDescriptor_ >= 0) {
            ::close(wakeDescriptor_);
        }
        Common::Error notStarted(COMMON_PLACE("KivoDump::RunEnd::RunEnd"), failureCode,
                                 Common::GetCatalogMessage(failureMessage));
        throw notStarted.AddWindowsError(static_cast<uint32_t>(failure));
    }
}

RunEnd::~RunEnd() {
    Disarm();
    ::close(wakeDescriptor_);
}

void RunEnd::Arm() {
    // Signals of an earlier report or listening, if any, are no part of this one.
    char drained[64];
    while (::read(TheSelfPipe().read, drained, sizeof drained) > 0) {
    }
    signalDescriptor.store(TheSelfPipe().write);
    Catch(SIGINT, previousInterrupt_);
    Catch(SIGTERM, previousTerminate_);
    armed_ = true;
    SetOutputFailureListener([this] { Wake(); });
}

void RunEnd::Disarm() noexcept {
    if (!armed_) {
        return;
    }
    armed_ = false;
    // Once this returns the listener runs no more, so the eventfd may close after it.
    SetOutputFailureListener({});
    ::sigaction(SIGINT, &previousInterrupt_, nullptr);
    ::sigaction(SIGTERM, &previousTerminate_, nullptr);
    signalDescriptor.store(-1);
}

EndCause RunEnd::Wait(bool watchInput) {
    pollfd watched[] = {{TheSelfPipe().read, POLLIN, 0},
                        {wakeDescriptor_, POLLIN, 0},
                        {watchInput ? STDIN_FILENO : -1, POLLIN, 0}};
    // A signal interrupts the poll and leaves its byte in the pipe: the next poll sees it. Any
    // other failure leaves nothing to wait on, which ends the wait like the end of input.
    int ready = 0;
    while ((ready = ::poll(watched, sizeof watched / sizeof watched[0], -1)) < 0 &&
           errno == EINTR) {
    }
    if (ready < 0) {
        return EndCause::kInput;
    }
    if ((watched[0].revents & POLLIN) != 0) {
        unsigned char signal = 0;
        if (::read(TheSelfPipe().read, &signal, 1) == 1) {
            signal_ = signal;
            return EndCause::kSignal;
        }
    }
    if ((watched[2].revents & POLLIN) != 0) {
        char character;
        [[maybe_unused]] const ssize_t read = ::read(STDIN_FILENO, &character, 1);
    }
    return watched[2].revents != 0 ? EndCause::kInput : EndCause::kWake;
}

void RunEnd::Wake() noexcept {
    const uint64_t one = 1;
    // The count only grows; a write fails only when it would overflow, and then it is not zero.
    [[maybe_unused]] const ssize_t written = ::write(wakeDescriptor_, &one, sizeof one);
}

void JobEnd::Completed(const Common::Error& error) {
    ended_.store(true);
    end_.Wake();
    synchronizer_.Completed(error);
}

void ReserveStandardInput() noexcept {
    if (::fcntl(STDIN_FILENO, F_GETFD) < 0 && errno == EBADF) {
        // The lowest free descriptor: 0.
        [[maybe_unused]] const int opened = ::open("/dev/null", O_RDONLY);
    }
}

}  // namespace KivoDump
