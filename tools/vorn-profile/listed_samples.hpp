// The samples a report lists, handed to the writers one record at a time: either the report's
// own records, or records made from references into the profile's columns as they are written,
// so that a listing of many samples with large steps is never held whole.
#pragma once

#include <cstddef>
#include <vector>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_cli {

class ListedSamples {
public:
    /// The records a report holds (`QueryReport::samples`).
    explicit ListedSamples(const std::vector<vorn_profile::SampleRecord>& records)
        : records_(&records) {}
    /// Records made from `listed` (`ListedReport::listed`) one at a time as they are read.
    ListedSamples(const vorn_package::ProfileColumns& columns,
                  const std::vector<vorn_profile::ListedSample>& listed)
        : columns_(&columns), listed_(&listed) {}

    std::size_t size() const { return columns_ == nullptr ? records_->size() : listed_->size(); }
    bool empty() const { return size() == 0; }

    /// Yields each record in listing order; a made record lives until the iterator moves on.
    class Iterator {
    public:
        Iterator(const ListedSamples& samples, std::size_t at) : samples_(&samples), at_(at) {}

        const vorn_profile::SampleRecord& operator*() {
            if (samples_->columns_ == nullptr) {
                return (*samples_->records_)[at_];
            }
            made_ = vorn_profile::sample_record(*samples_->columns_, (*samples_->listed_)[at_]);
            return made_;
        }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

    private:
        const ListedSamples* samples_;
        std::size_t at_;
        vorn_profile::SampleRecord made_;
    };

    Iterator begin() const { return {*this, 0}; }
    Iterator end() const { return {*this, size()}; }

private:
    const std::vector<vorn_profile::SampleRecord>* records_ = nullptr;
    const vorn_package::ProfileColumns* columns_ = nullptr;
    const std::vector<vorn_profile::ListedSample>* listed_ = nullptr;
};

}  // namespace vorn_cli
