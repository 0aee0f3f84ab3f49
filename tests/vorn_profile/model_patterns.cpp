// std::regex is the model's own way to match, apart from the engine's RE2.
#include "model_patterns.hpp"

#include <regex>

namespace vorn_profile::model {

bool contains_match(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

}  // namespace vorn_profile::model
