// The plain model's pattern filter, kept out of the header so that std::regex is compiled once.
#pragma once

#include <string>

namespace vorn_profile::model {

/// Whether `text` contains a match of `pattern` (ECMAScript syntax; the test patterns mean the
/// same there as in RE2, which the engine uses).
bool contains_match(const std::string& text, const std::string& pattern);

}  // namespace vorn_profile::model
