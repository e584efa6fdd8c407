// The operating system's services as the core uses them: random seeds, the
// stack's floor, files read whole with their errors, and the cores to use.
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

#include "check.hpp"
#include "platform/cores.hpp"
#include "platform/file_bytes.hpp"
#include "platform/interrupt.hpp"
#include "platform/random.hpp"
#include "platform/stack.hpp"

using namespace velkin;

namespace {

std::filesystem::path scratch(const char* name) {
    return std::filesystem::temp_directory_path() / (std::string("velkin-platform-") + name);
}

}  // namespace

// Two seeds of 32 bytes from the system: a chance of 2^-256 that they are equal.
TEST(random_bytes_fill_the_whole_buffer) {
    std::array<uint8_t, 32> first{}, second{};
    CHECK(!platform::fill_random(first));
    CHECK(!platform::fill_random(second));
    CHECK(first != second);
    // A large request is filled to its last byte (getentropy gives 256 bytes a call).
    std::array<uint8_t, 1000> large{};
    CHECK(!platform::fill_random(large));
    size_t zero_tail = 0;
    while (zero_tail < large.size() && large[large.size() - 1 - zero_tail] == 0) ++zero_tail;
    CHECK(zero_tail < 8);
}

// The floor lies below this frame, within what any system gives a thread's stack.
TEST(stack_floor_lies_below_the_current_frame) {
    const uintptr_t floor = platform::stack_floor();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    CHECK(floor != 0);
    CHECK(floor < here);
    CHECK(here - floor < uintptr_t{1} << 32);
}

TEST(files_are_read_whole) {
    const std::filesystem::path path = scratch("bytes");
    const std::string bytes("line one\n\0tail\xff", 15);
    std::ofstream(path, std::ios::binary) << bytes;
    Result<platform::FileBytes> file = platform::FileBytes::read(path.string());
    CHECK(file.ok());
    if (file.ok()) CHECK(file.value().text() == bytes);
    // A limit keeps the first bytes only.
    Result<platform::FileBytes> head = platform::FileBytes::read(path.string(), 4);
    CHECK(head.ok());
    if (head.ok()) CHECK(head.value().text() == "line");
    std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
    Result<platform::FileBytes> empty = platform::FileBytes::read(path.string());
    CHECK(empty.ok());
    if (empty.ok()) CHECK(empty.value().text().empty());
    std::filesystem::remove(path);
}

TEST(unreadable_paths_say_why) {
    const std::filesystem::path missing = scratch("missing");
    std::filesystem::remove(missing);
    Result<platform::FileBytes> absent = platform::FileBytes::read(missing.string());
    CHECK(!absent.ok());
    if (!absent.ok())
        CHECK_EQ(absent.error().message, "cannot read " + missing.string() + ": No such file or directory");
    const std::string not_regular = ": not a regular file (a pipe or a device): save it to a file first";
    const std::filesystem::path folder = scratch("folder");
    std::filesystem::create_directories(folder);
    Result<platform::FileBytes> directory = platform::FileBytes::read(folder.string());
    CHECK(!directory.ok());
    if (!directory.ok()) CHECK_EQ(directory.error().message, "cannot read " + folder.string() + not_regular);
    std::filesystem::remove(folder);
#if !defined(_WIN32)
    // A FIFO without a writer is refused at once: opening it for reading must not wait for one.
    const std::filesystem::path fifo = scratch("fifo");
    std::filesystem::remove(fifo);
    CHECK(::mkfifo(fifo.c_str(), 0600) == 0);
    Result<platform::FileBytes> pipe = platform::FileBytes::read(fifo.string());
    CHECK(!pipe.ok());
    if (!pipe.ok()) CHECK_EQ(pipe.error().message, "cannot read " + fifo.string() + not_regular);
    std::filesystem::remove(fifo);
    Result<platform::FileBytes> device = platform::FileBytes::read("/dev/zero");
    CHECK(!device.ok());
#endif
}

// A stop request reaches the reading thread and the threads it passes its flag to.
TEST(a_stop_request_interrupts_reading) {
    const std::filesystem::path path = scratch("stopped");
    std::ofstream(path, std::ios::binary) << std::string(100, 'x');
    platform::StopFlag stop{true};
    bool interrupted = false;
    {
        platform::StopScope scope(&stop);
        try {
            (void)platform::FileBytes::read(path.string());
        } catch (const platform::Interrupted&) {
            interrupted = true;
        }
    }
    CHECK(interrupted);
    // Outside the scope nothing can stop the work.
    CHECK(platform::stop_flag() == nullptr);
    CHECK(platform::FileBytes::read(path.string()).ok());
    std::filesystem::remove(path);
}

// A process pinned to some cores (taskset, a container's cpuset) starts no more threads than
// it may run at once: more would only take turns on them.
TEST(the_cores_to_use_follow_the_affinity_mask) {
    CHECK(platform::usable_cores() >= 1);
#if defined(__linux__)
    cpu_set_t before;
    CPU_ZERO(&before);
    CHECK(sched_getaffinity(0, sizeof before, &before) == 0);
    CHECK_EQ(platform::usable_cores(), static_cast<unsigned>(CPU_COUNT(&before)));
    int first = 0;
    while (!CPU_ISSET(first, &before)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
    CHECK_EQ(platform::usable_cores(), 1u);
    CHECK(sched_setaffinity(0, sizeof before, &before) == 0);
#endif
}
