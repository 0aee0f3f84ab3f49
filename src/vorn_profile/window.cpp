// The query over a time window: the query's own pipeline, with the window applied in the walk.
#include "window.hpp"

#include "column_source.hpp"
#include "pipeline.hpp"
#include "record_source.hpp"
#include "vorn_profile/analyses.hpp"

namespace vorn_profile {

WindowReport query_window(const vorn_package::ProfileReport& report, const Query& query,
                          const TimeWindow& window) {
    if (detail::several_keys(query)) {
        // Several keys name a group by a representative step, which columns number.
        return query_window(vorn_package::to_columns(report), query, window);
    }
    detail::GroupTable groups;
    detail::RecordSource source(report, query);
    detail::Window storage;
    return {window.from, window.to,
            detail::run_query(source, groups, query, report.clock_hz,
                              detail::walk_window(window, storage))};
}

WindowReport query_window(const vorn_package::ProfileColumns& columns, const Query& query,
                          const TimeWindow& window) {
    detail::GroupTable groups;
    detail::ColumnSource source(columns, query, groups);
    detail::Window storage;
    return {window.from, window.to,
            detail::run_query(source, groups, query, columns.clock_hz,
                              detail::walk_window(window, storage))};
}

ListedReport query_window_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                                 const TimeWindow& window) {
    detail::GroupTable groups;
    detail::ColumnSource source(columns, query, groups);
    detail::Window storage;
    return detail::listed_report(detail::answer_query(source, groups, query, columns.clock_hz,
                                                      detail::walk_window(window, storage)));
}

}  // namespace vorn_profile
