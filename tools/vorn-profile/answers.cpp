#include "answers.hpp"

#include "output.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_cli {

void write_query_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                        const CommandLine& line) {
    // Without a window the report is the plain query's. The listing is chosen in full but kept
    // as references, and each record is made as it is written: a listing costs the memory of
    // one record, however large its steps.
    const vorn_profile::ListedReport answer =
        line.window
            ? vorn_profile::query_window_listed(columns, line.query, *line.window, line.threads)
            : vorn_profile::query_listed(columns, line.query, line.threads);
    const ListedSamples samples(columns, answer.listed);
    switch (line.format) {
        case OutputFormat::Table:
            write_table(out, answer.report, samples, line.window);
            break;
        case OutputFormat::Json:
            write_json(out, answer.report, samples, line.window);
            break;
        case OutputFormat::Csv:
            write_csv(out, answer.report);
            break;
    }
}

void write_supersteps_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                             const CommandLine& line) {
    const vorn_profile::SuperstepReport report = vorn_profile::supersteps(
        columns, line.query, line.window.value_or(vorn_profile::TimeWindow{}));
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
