// Placeholder until the JSON reader lands.
#include "vorn_package/profile_json.hpp"

namespace vorn_package {
std::string to_string(const ReadError& error) { return error.message; }
Result<ProfileReport, ReadError> read_profile_json(std::string_view, const ReadProgress&) {
    return Unexpected<ReadError>{{0, "", "reading is not built yet"}};
}
Result<ProfileReport, ReadError> read_profile_json_file(const std::string&, const ReadProgress&) {
    return Unexpected<ReadError>{{0, "", "reading is not built yet"}};
}
}  // namespace vorn_package
