// `vorn-profile samples`: every matching step as one row, in stored order, for loading into
// a data frame or a database.
#pragma once

#include <iosfwd>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_cli {

/// How `samples` writes its rows.
enum class SampleFormat { Csv, JsonLines };

/// Writes the steps that pass the query's filters, tile record by tile record in stored order,
/// with the offsets and durations of the query (on the tile's normalised time line, clipped to
/// `window`; a step outside it is left out). CSV has a header and one `metadata` column
/// `name=value;...` (a backslash before each `;`, `=` and `\` inside a name or value); JSON
/// Lines has one object a line. Memory stays bounded: rows are written as they are made.
void write_samples(std::ostream& out, const vorn_package::ProfileColumns& columns,
                   const vorn_profile::Query& query, const vorn_profile::TimeWindow& window,
                   SampleFormat format);

}  // namespace vorn_cli
