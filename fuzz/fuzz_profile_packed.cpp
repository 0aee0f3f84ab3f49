// Fuzz target for packed profiles. No input may crash the reader or make it hand out columns
// that index outside themselves; an error must point inside the input; and a file that opens
// must hold a profile that writes and reads back unchanged, as a packed file and as JSON.
// Each input is also opened with its checksums recomputed, so that the checks behind them
// are reached by more than the inputs whose checksums happen to hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "profile_packed_layout.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_profile_packed: %s: %s\n", what, detail.c_str());
    std::abort();
}

void check(const char* data, std::size_t size) {
    const auto opened = vorn_package::open_profile_packed_memory({data, size});
    if (!opened) {
        if (opened.error().offset > size || opened.error().message.empty()) {
            fail("bad error", to_string(opened.error()));
        }
        return;
    }
    // Every index a query follows: to_report reads each sample's step, texts and metadata.
    const vorn_package::ProfileReport report = vorn_package::to_report(*opened);

    std::ostringstream packed;
    vorn_package::write_profile_packed(packed, *opened);
    const std::string rewritten = packed.str();
    const auto reopened = vorn_package::open_profile_packed_memory(rewritten);
    if (!reopened) {
        fail("the written packed file does not open", to_string(reopened.error()));
    }
    if (!(vorn_package::to_report(*reopened) == report)) {
        fail("write -> open changed the profile", "");
    }

    std::ostringstream json;
    vorn_package::write_profile_json(json, report);
    const auto read = vorn_package::read_profile_json(json.str());
    if (!read) {
        fail("the profile as JSON does not read", to_string(read.error()));
    }
    if (!(*read == report)) {
        fail("packed -> JSON -> read changed the profile", "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An aligned copy, as a file's mapping would be.
    std::vector<std::uint64_t> aligned((size + 7) / 8);
    char* bytes = reinterpret_cast<char*>(aligned.data());
    if (size > 0) {
        std::memcpy(bytes, data, size);
    }
    check(bytes, size);
    vorn_package::packed::reseal({bytes, size});
    check(bytes, size);
    return 0;
}
