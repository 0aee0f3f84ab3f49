// The server's answers, apart from the network: a path and its query parameters in, a status,
// a content type and a body out. `/api/query` and `/api/supersteps` run the command line's own
// parsing and writers, so that their bodies and their errors are the tool's, byte for byte.
#pragma once

#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve_timeline.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

struct ApiAnswer {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
};

/// Query parameters in the order given, decoded.
using ApiParameters = std::vector<std::pair<std::string, std::string>>;

class ServeApi {
public:
    /// `columns` must outlive the API; `path` is the profile's name in `/api/info`. Each query
    /// walks the profile on `threads` threads.
    ServeApi(const vorn_package::ProfileColumns& columns, std::string path, std::size_t threads);

    /// The answer to `GET path?parameters`.
    ApiAnswer get(std::string_view path, const ApiParameters& parameters) const;

private:
    ApiAnswer query(const ApiParameters& parameters, bool supersteps) const;
    ApiAnswer timeline(const ApiParameters& parameters) const;

    const vorn_package::ProfileColumns* columns_;
    std::string path_;
    std::size_t threads_;
    std::shared_future<std::string> info_;  ///< made on a thread of its own from the start
    TimelineIndex timeline_;
};

/// `{"error": "<message>"}` with `status`.
ApiAnswer api_error(int status, std::string_view message);

}  // namespace vorn_cli
