// Reading a stored profile from any kind of file: a stream is judged by its first bytes and
// never read further than a profile can go, a named pipe is opened once, and a mapped file that
// another program changes ends the process with an error line instead of a signal.
#include "vorn_package/profile_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "profile_packed_layout.hpp"
#include "vorn_package/mapped_file_guard.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() /
           ("vorn_profile_file_test_" + std::to_string(getpid()) + "_" + name);
}

ProfileColumns small_columns() {
    SyntheticOptions options;
    options.tiles = 4;
    options.steps_per_tile = 200;
    return synthetic_columns(options);
}

std::string packed_bytes(const ProfileColumns& columns) {
    std::ostringstream out;
    write_profile_packed(out, columns);
    return out.str();
}

/// Reads standard input while another thread writes `head` into it and then keeps the pipe
/// open: a reader that waits for the end of the stream is caught by the watchdog, which ends
/// the stream after a few seconds and makes the test fail.
Result<ProfileColumns, ReadError> read_endless_stream(const std::string& head,
                                                      bool& waited_for_the_end) {
    int pipe_ends[2];
    EXPECT_EQ(::pipe(pipe_ends), 0);
    const int saved_input = ::dup(STDIN_FILENO);
    ::dup2(pipe_ends[0], STDIN_FILENO);
    ::close(pipe_ends[0]);
    std::atomic<bool> done{false};
    std::atomic<bool> fired{false};
    std::thread writer([&] {
        std::string bytes = head;
        bytes.resize(bytes.size() + 32768, '\0');  // then zeros, as from /dev/zero
        const ssize_t ignored = ::write(pipe_ends[1], bytes.data(), bytes.size());
        static_cast<void>(ignored);
        for (int waited = 0; waited < 100 && !done; ++waited) {
            std::this_thread::sleep_for(50ms);
        }
        fired = !done;
        ::close(pipe_ends[1]);
    });
    auto read = read_profile_columns_file("-");
    done = true;
    writer.join();
    ::dup2(saved_input, STDIN_FILENO);
    ::close(saved_input);
    waited_for_the_end = fired;
    return read;
}

TEST(ProfileFile, AStreamIsJudgedByItsFirstBytes) {
    bool waited = false;
    const auto zeros = read_endless_stream("", waited);
    EXPECT_FALSE(waited);
    ASSERT_FALSE(zeros.has_value());
    EXPECT_EQ(zeros.error().offset, 0U);
    EXPECT_NE(zeros.error().message.find("expected an object"), std::string::npos);

    // A packed stream is read up to the size its header gives, and one byte more.
    const std::string packed = packed_bytes(small_columns());
    const auto endless = read_endless_stream(packed.substr(0, packed::kHeaderSize), waited);
    EXPECT_FALSE(waited);
    ASSERT_FALSE(endless.has_value());
    EXPECT_NE(endless.error().message.find("(extended)"), std::string::npos)
        << endless.error().message;
}

TEST(ProfileFile, ANamedPipeIsOpenedOnce) {
    const fs::path fifo = scratch("fifo");
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string packed = packed_bytes(small_columns());
    for (const bool whole_before_reading : {false, true}) {
        std::atomic<bool> done{false};
        std::atomic<bool> fired{false};
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            if (whole_before_reading) {
                // The writer is gone before the reader looks: a second open would wait forever.
                const ssize_t ignored = ::write(fd, packed.data(), 4096);
                static_cast<void>(ignored);
                ::close(fd);
                return;
            }
            const ssize_t ignored = ::write(fd, packed.data(), packed.size());
            static_cast<void>(ignored);
            ::close(fd);
        });
        std::thread watchdog([&] {
            for (int waited = 0; waited < 100 && !done; ++waited) {
                std::this_thread::sleep_for(50ms);
            }
            if (!done) {
                fired = true;
                ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
            }
        });
        const auto read = read_profile_columns_file(fifo.string());
        done = true;
        writer.join();
        watchdog.join();
        EXPECT_FALSE(fired);
        if (whole_before_reading) {
            ASSERT_FALSE(read.has_value());  // a profile cut short
            EXPECT_NE(read.error().message.find("(truncated)"), std::string::npos);
        } else {
            ASSERT_TRUE(read.has_value()) << to_string(read.error());
            EXPECT_EQ(to_report(*read), to_report(small_columns()));
        }
    }
    fs::remove(fifo);
}

/// Maps a copy of a profile, lets `change` alter the file and then touches every sample.
void read_after_change(const fs::path& path, void (*change)(const fs::path&)) {
    guard_mapped_files(1);
    const auto opened = open_profile_packed(path.string());
    if (!opened) {
        std::_Exit(3);
    }
    change(path);
    std::uint64_t sum = 0;
    for (const std::uint32_t cycle : opened->end_cycle) {
        sum += cycle;
    }
    std::raise(SIGSEGV);  // a changed file sends an index astray: the same end
    std::_Exit(sum == 0 ? 4 : 5);
}

TEST(ProfileFileDeathTest, AMappedFileChangedByAnotherProgramEndsWithAnErrorLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Each child runs the test again from its start and ends without cleaning up: one name
    // for the parent and its children leaves one file, which the parent removes.
    const fs::path path = fs::temp_directory_path() / "vorn_profile_file_test_guarded.packed";
    const std::string packed = packed_bytes(small_columns());
    std::ofstream(path, std::ios::binary) << packed;
    const std::string message = "error: " + path.string() + ": the file changed while it was read";
    EXPECT_EXIT(read_after_change(path, [](const fs::path& p) { fs::resize_file(p, 100); }),
                testing::ExitedWithCode(1), message);
    std::ofstream(path, std::ios::binary) << packed;
    EXPECT_EXIT(read_after_change(path,
                                  [](const fs::path& p) {
                                      std::this_thread::sleep_for(20ms);
                                      std::fstream file(
                                          p, std::ios::in | std::ios::out | std::ios::binary);
                                      file.seekp(200);
                                      file << "rewritten in place";
                                  }),
                testing::ExitedWithCode(1), message);
    // A fault that no changed file explains is left to the handler that was there before: the
    // default action, or AddressSanitizer's report.
    std::ofstream(path, std::ios::binary) << packed;
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EXIT(read_after_change(path, [](const fs::path&) {}), testing::ExitedWithCode(1),
                "AddressSanitizer: SEGV");
#else
    EXPECT_EXIT(read_after_change(path, [](const fs::path&) {}), testing::KilledBySignal(SIGSEGV),
                "");
#endif
    fs::remove(path);
}

}  // namespace
}  // namespace vorn_package
