// Opening packed bytes with the choices the public entry points make for their callers: how
// many threads check the file, and whether its pages are mapped in bulk first (a mapping).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package {

struct PackedOpening {
    std::size_t threads = 1;  ///< threads the checks run on (0 counts as 1)
    bool populate = false;    ///< `bytes` are a mapping whose pages to map section by section
};

/// `open_profile_packed_memory` with the checks run as `opening` says.
[[nodiscard]] Result<ProfileColumns, ReadError> open_packed_bytes(std::string_view bytes,
                                                                  std::shared_ptr<const void> owner,
                                                                  PackedOpening opening);

}  // namespace vorn_package
