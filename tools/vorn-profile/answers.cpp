#include "answers.hpp"

#include "output.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_cli {

void write_report(std::ostream& out, OutputFormat format, const vorn_profile::QueryReport& report,
                  const ListedSamples& samples,
                  const std::optional<vorn_profile::TimeWindow>& window) {
    switch (format) {
        case OutputFormat::Table:
            write_table(out, report, samples, window);
            break;
        case OutputFormat::Json:
            write_json(out, report, samples, window);
            break;
        case OutputFormat::Csv:
            write_csv(out, report);
            break;
    }
}

void write_query_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                        const CommandLine& line) {
    // Without a window the report is the plain query's. The listing is chosen in full but kept
    // as references, and each record is made as it is written: a listing costs the memory of
    // one record, however large its steps.
    const vorn_profile::ListedReport answer =
        line.window
            ? vorn_profile::query_window_listed(columns, line.query, *line.window, line.threads)
            : vorn_profile::query_listed(columns, line.query, line.threads);
    write_report(out, line.format, answer.report, ListedSamples(columns, answer.listed),
                 line.window);
}

void write_supersteps_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                             const CommandLine& line) {
    const vorn_profile::SuperstepReport report = vorn_profile::supersteps(
        columns, line.query, line.window.value_or(vorn_profile::TimeWindow{}), line.threads);
    switch (line.format) {
        case OutputFormat::Table:
            write_supersteps_table(out, report, line.superstep_rows, line.query.limit);
            break;
        case OutputFormat::Json:
            write_supersteps_json(out, report, line.superstep_rows, line.query.limit);
            break;
        case OutputFormat::Csv:
            write_supersteps_csv(out, report, line.superstep_rows, line.query.limit);
            break;
    }
}

}  // namespace vorn_cli
