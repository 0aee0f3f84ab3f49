// `vorn-profile help columns`: what every column of the reports means.
#pragma once

#include <string_view>

namespace vorn_cli {

/// The text `help columns` prints.
extern const std::string_view kColumnsHelp;

/// The line each command's help ends with, pointing to it.
inline constexpr std::string_view kColumnsPointer =
    "Columns: `vorn-profile help columns` explains every column of the reports.";

}  // namespace vorn_cli
