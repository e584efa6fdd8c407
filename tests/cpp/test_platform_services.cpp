// The operating system's services as the core uses them: random seeds, the
// stack's floor, and files mapped into memory with their errors.
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "check.hpp"
#include "platform/mapped_file.hpp"
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

TEST(mapped_files_read_their_bytes) {
    const std::filesystem::path path = scratch("bytes");
    const std::string bytes("line one\n\0tail\xff", 15);
    std::ofstream(path, std::ios::binary) << bytes;
    {
        Result<platform::MappedFile> file = platform::MappedFile::open(path.string());
        CHECK(file.ok());
        if (file.ok()) CHECK(file.value().text() == bytes);
        // Moved, the mapping stays with the new owner.
        if (file.ok()) {
            platform::MappedFile moved(std::move(file.value()));
            CHECK(moved.text() == bytes);
        }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
    Result<platform::MappedFile> empty = platform::MappedFile::open(path.string());
    CHECK(empty.ok());
    if (empty.ok()) CHECK(empty.value().text().empty());
    std::filesystem::remove(path);
}

TEST(unmappable_paths_say_why) {
    const std::filesystem::path missing = scratch("missing");
    std::filesystem::remove(missing);
    Result<platform::MappedFile> absent = platform::MappedFile::open(missing.string());
    CHECK(!absent.ok());
    if (!absent.ok()) CHECK_EQ(absent.error().message, "cannot read " + missing.string() + ": No such file or directory");
    const std::filesystem::path folder = scratch("folder");
    std::filesystem::create_directories(folder);
    Result<platform::MappedFile> directory = platform::MappedFile::open(folder.string());
    CHECK(!directory.ok());
    if (!directory.ok()) CHECK_EQ(directory.error().message, "cannot read " + folder.string() + ": not a regular file");
    std::filesystem::remove(folder);
}
