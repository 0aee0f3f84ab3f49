// The guard of mapped files: a fixed table of the files mapped now and of the temporary outputs
// being written, read by handlers of SIGBUS and SIGSEGV. Everything a handler does is safe in a
// signal handler: it reads the table (filled before a slot is marked in use), calls fstat, unlink
// and write, and ends the process with _exit.
#include "vorn_package/mapped_file_guard.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

namespace vorn_package {
namespace {

constexpr std::size_t kPathBytes = 4096;

enum SlotState : int { kFree, kFilling, kInUse };

struct MappingSlot {
    std::atomic<int> state{kFree};
    int fd = -1;
    off_t size = 0;
    timespec modified{};
    char path[kPathBytes] = {};
};

struct OutputSlot {
    std::atomic<int> state{kFree};
    char path[kPathBytes] = {};
};

std::array<MappingSlot, 64> mappings;
std::array<OutputSlot, 16> outputs;
std::atomic<int> fault_exit_status{1};
struct sigaction previous_bus {};
struct sigaction previous_segv {};

void copy_path(char (&to)[kPathBytes], const std::string& path) {
    const std::size_t length = std::min(path.size(), kPathBytes - 1);
    std::memcpy(to, path.data(), length);
    to[length] = '\0';
}

template <class Slot>
int claim(Slot& slot) {
    int expected = kFree;
    return slot.state.compare_exchange_strong(expected, kFilling) ? 1 : 0;
}

void write_text(const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t wrote = ::write(STDERR_FILENO, text, left);
        if (wrote <= 0) {
            return;
        }
        text += wrote;
        left -= static_cast<std::size_t>(wrote);
    }
}

/// The slot of a mapped file that is no longer what it was when it was opened, or -1.
int changed_mapping() {
    for (std::size_t i = 0; i < mappings.size(); ++i) {
        const MappingSlot& slot = mappings[i];
        if (slot.state.load(std::memory_order_acquire) != kInUse) {
            continue;
        }
        struct stat now {};
        if (::fstat(slot.fd, &now) != 0 || now.st_size != slot.size ||
            now.st_mtim.tv_sec != slot.modified.tv_sec ||
            now.st_mtim.tv_nsec != slot.modified.tv_nsec) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void on_fault(int signal, siginfo_t* info, void* context) {
    const int changed = changed_mapping();
    if (changed >= 0) {
        for (OutputSlot& output : outputs) {
            if (output.state.load(std::memory_order_acquire) == kInUse) {
                ::unlink(output.path);
            }
        }
        write_text("error: ");
        write_text(mappings[static_cast<std::size_t>(changed)].path);
        write_text(
            ": the file changed while it was read (another program truncated or rewrote it)\n");
        ::_exit(fault_exit_status.load());
    }
    // Not ours: the handler that was there before decides.
    const struct sigaction& previous = signal == SIGBUS ? previous_bus : previous_segv;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
        previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    // The default action, for a fault and for a signal sent by a program alike.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

}  // namespace

void guard_mapped_files(int exit_status) {
    static std::once_flag installed;
    fault_exit_status.store(exit_status);
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = on_fault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previous_bus);
        ::sigaction(SIGSEGV, &action, &previous_segv);
    });
}

bool is_mapped(const std::string& path) {
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) {
        return false;
    }
    for (const MappingSlot& slot : mappings) {
        struct stat mapped {};
        if (slot.state.load(std::memory_order_acquire) == kInUse &&
            ::fstat(slot.fd, &mapped) == 0 && mapped.st_dev == named.st_dev &&
            mapped.st_ino == named.st_ino) {
            return true;
        }
    }
    return false;
}

namespace detail {

int guard_mapping(int fd, const std::string& path) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return -1;
    }
    for (std::size_t i = 0; i < mappings.size(); ++i) {
        MappingSlot& slot = mappings[i];
        if (claim(slot) != 0) {
            slot.fd = fd;
            slot.size = status.st_size;
            slot.modified = status.st_mtim;
            copy_path(slot.path, path);
            slot.state.store(kInUse, std::memory_order_release);
            return static_cast<int>(i);
        }
    }
    ::close(fd);
    return -1;
}

void release_mapping(int slot_number) {
    if (slot_number < 0) {
        return;
    }
    MappingSlot& slot = mappings[static_cast<std::size_t>(slot_number)];
    slot.state.store(kFilling, std::memory_order_release);
    ::close(slot.fd);
    slot.fd = -1;
    slot.state.store(kFree, std::memory_order_release);
}

int guard_output(const std::string& path) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        OutputSlot& slot = outputs[i];
        if (claim(slot) != 0) {
            copy_path(slot.path, path);
            slot.state.store(kInUse, std::memory_order_release);
            return static_cast<int>(i);
        }
    }
    return -1;
}

void release_output(int slot_number) {
    if (slot_number >= 0) {
        outputs[static_cast<std::size_t>(slot_number)].state.store(kFree,
                                                                   std::memory_order_release);
    }
}

}  // namespace detail
}  // namespace vorn_package
