// The two entry points of the query: profiles held as records and as columns go through the
// same pipeline; only the source of a sample's fields differs.
#include "column_source.hpp"
#include "pipeline.hpp"
#include "record_source.hpp"

namespace vorn_profile {

std::uint32_t duration(const vorn_package::CycleSample& sample) {
    // Unsigned subtraction wraps modulo 2^32: a step during which the counter wrapped still
    // gets its true length.
    return sample.end_cycle - sample.start_cycle;
}

QueryReport query(const vorn_package::ProfileReport& report, const Query& query) {
    if (detail::several_keys(query)) {
        // Several keys name a group by a representative step, which columns number.
        return vorn_profile::query(vorn_package::to_columns(report), query);
    }
    detail::GroupTable groups;
    detail::RecordSource source(report, query);
    return detail::run_query(source, groups, query, report.clock_hz);
}

QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query) {
    detail::GroupTable groups;
    detail::ColumnSource source(columns, query, groups);
    return detail::run_query(source, groups, query, columns.clock_hz);
}

ListedReport query_listed(const vorn_package::ProfileColumns& columns, const Query& query) {
    detail::GroupTable groups;
    detail::ColumnSource source(columns, query, groups);
    return detail::listed_report(detail::answer_query(source, groups, query, columns.clock_hz));
}

}  // namespace vorn_profile
