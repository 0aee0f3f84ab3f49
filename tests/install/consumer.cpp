// Uses the installed package the way an outside project would.
#include <vorn_profile/query.hpp>

int main() {
    vorn_package::ProfileReport profile{.clock_hz = 1'000'000'000, .tiles = {}};
    vorn_package::CycleSample sample;
    sample.step.kernel = "add";
    sample.start_cycle = 100;
    sample.end_cycle = 130;
    profile.tiles.push_back({.physical_tile = 2, .samples = {sample}});
    const vorn_profile::QueryReport report = vorn_profile::query(profile, vorn_profile::Query{});
    return report.groups.size() == 1 && report.groups[0].phase_cycles == 30 ? 0 : 1;
}
