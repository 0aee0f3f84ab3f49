// The sample listing: the longest matched samples, kept while the walk goes on.
#pragma once

#include <cstdint>
#include <vector>

#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Keeps the first `limit` candidates of the listing order, ties in the order they were
/// offered, without holding or ordering more than `limit` of them at a time. The result equals
/// a stable sort of every offered candidate cut to `limit`.
class SampleListing {
public:
    explicit SampleListing(std::uint64_t limit) : limit_(limit) {}

    void offer(const Candidate& candidate);

    /// The kept candidates as records, in listing order.
    std::vector<SampleRecord> records();

private:
    struct Ranked {
        Candidate candidate;
        std::uint64_t sequence = 0;  // walk order, the last tie-break
    };
    static bool before(const Ranked& left, const Ranked& right);

    std::uint64_t limit_;
    std::uint64_t offered_ = 0;
    bool heap_ = false;
    std::vector<Ranked> kept_;
};

}  // namespace vorn_profile::detail
