// Fuzz target for the stored profile format. No input may crash or hang the reader; an error
// must point inside the input; a profile that reads must survive write -> read unchanged; and
// it must read the same through a file (mapped) as from memory (read in place), and into
// columns as into records, errors included.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "vorn_package/profile_json.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_profile_json: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Reads `text` through the file interface, from an anonymous in-memory file.
vorn_package::Result<vorn_package::ProfileReport, vorn_package::ReadError> read_through_file(
    std::string_view text) {
    const int fd = ::memfd_create("fuzz_profile_json", 0);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail("memfd", "cannot write the input");
    }
    auto read = vorn_package::read_profile_json_file("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return read;
}

}  // namespace

// Says which simdjson kernel the reader runs on, so that a replay shows it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string_view kernel = vorn_package::profile_json_kernel();
    std::printf("simdjson kernel: %.*s\n", static_cast<int>(kernel.size()), kernel.data());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto first = vorn_package::read_profile_json(text);
    const auto through_file = read_through_file(text);
    if (first.has_value() != through_file.has_value() ||
        (!first && !(first.error() == through_file.error()))) {
        fail("memory and file reads differ",
             first ? to_string(through_file.error()) : to_string(first.error()));
    }
    const auto columns = vorn_package::read_profile_columns_json(text);
    if (first.has_value() != columns.has_value() ||
        (!first && !(first.error() == columns.error()))) {
        fail("records and columns reads differ",
             first ? to_string(columns.error()) : to_string(first.error()));
    }
    if (!first) {
        if (first.error().offset > size || first.error().message.empty()) {
            fail("bad error", to_string(first.error()));
        }
        return 0;
    }
    if (!(*through_file == *first)) {
        fail("memory and file reads differ", "different profiles");
    }
    if (!(vorn_package::to_report(*columns) == *first)) {
        fail("records and columns reads differ", "different profiles");
    }
    std::ostringstream out;
    vorn_package::write_profile_json(out, *first);
    const std::string rewritten = out.str();
    const auto second = vorn_package::read_profile_json(rewritten);
    if (!second) {
        fail("the written profile does not read", to_string(second.error()));
    }
    if (!(*second == *first)) {
        fail("write -> read changed the profile", rewritten.substr(0, 2000));
    }
    return 0;
}
