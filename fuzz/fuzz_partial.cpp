// Fuzz target for serialized partial reports. No input may crash the reader or make it reserve
// more than the input could hold; an error must point inside the input; and bytes that read
// must be a partial that writes back as the same bytes and finishes into a report, alone and
// merged after itself when that is allowed. Each input is also read with its size and checksum
// made right, so that the checks behind them are reached by more than the inputs whose checksum
// happens to hold.
#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vorn_profile/partial_bytes.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_partial: %s: %s\n", what, detail.c_str());
    std::abort();
}

void check(std::string_view bytes) {
    auto read = vorn_profile::partial_from_bytes(bytes);
    if (!read) {
        if (read.error().offset > bytes.size() || read.error().message.empty()) {
            fail("bad error", read.error().path + ": " + read.error().message);
        }
        return;
    }
    if (vorn_profile::partial_bytes(*read) != bytes) {
        fail("read -> write changed the bytes", "");
    }
    auto again = vorn_profile::partial_from_bytes(bytes);
    if (!vorn_profile::merge_conflict(*read, *again)) {
        vorn_profile::finish(vorn_profile::merge(*std::move(read), *std::move(again)));
    } else {
        vorn_profile::finish(*std::move(read));
    }
}

/// `bytes` with the header's size and checksum fields set to what the bytes hold.
std::string resealed(std::string_view bytes) {
    std::string fixed(bytes);
    constexpr std::size_t kHeader = 32;
    const auto put = [&](std::size_t at, std::uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            fixed[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
        }
    };
    put(16, fixed.size());
    put(24, XXH3_64bits(fixed.data() + kHeader, fixed.size() - kHeader));
    return fixed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    if (size >= 32 && vorn_profile::is_partial_bytes(bytes)) {
        check(resealed(bytes));
    }
    return 0;
}
