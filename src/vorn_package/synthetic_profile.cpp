// Placeholder until the generator lands.
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
ProfileReport synthetic_profile(const SyntheticOptions& options) { return {options.clock_hz, {}}; }
}  // namespace vorn_package
