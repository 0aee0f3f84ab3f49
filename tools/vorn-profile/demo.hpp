// `vorn-profile demo`: a guided tour on a profile built in memory.
#pragma once

#include <iosfwd>

namespace vorn_cli {

/// Builds the default synthetic profile and prints the answers to a few typical questions,
/// each headed by the `vorn-profile query` command line that asks it.
void run_demo(std::ostream& out);

}  // namespace vorn_cli
