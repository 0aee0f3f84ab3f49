// `vorn-profile serve`: a local web server with one page and a JSON API over a profile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "options.hpp"
#include "serve_api.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

/// The HTTP side of the server: the `Host` check, GET only, and the API's answers. Requests
/// are served on a pool of threads, so that a slow one does not hold up the others.
class HttpServer {
public:
    HttpServer(const ServeApi& api, std::string host);
    ~HttpServer();

    /// Binds `port` (0: a free one) and returns the port bound, or 0 when it cannot.
    std::uint16_t bind(std::uint16_t port);
    /// Serves until `stop`; false when it could not.
    bool listen();
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// Whether `host` is a loopback address (127.0.0.0/8, ::1) or `localhost`.
bool is_loopback(const std::string& host);

/// Serves `columns` until SIGINT or SIGTERM; 0 then, 1 when the address cannot be bound.
int run_serve(const CommandLine& line, const vorn_package::ProfileColumns& columns);

}  // namespace vorn_cli
