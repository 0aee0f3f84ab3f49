// The HTTP side: cpp-httplib listening on the given address, every answer from `ServeApi`.
// Debian's cpp-httplib is a compiled library whose longest request target is 8 KB: a longer
// one gets 414.
#include "serve.hpp"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "text_table.hpp"

namespace vorn_cli {
namespace {

/// Worker threads for requests. A connection holds its thread while the browser keeps it
/// alive, and a browser keeps several: enough that they and a few slow queries leave room for
/// the page.
constexpr std::size_t kRequestThreads = 32;

/// `host:port` as a URL's authority: IPv6 addresses in brackets.
std::string authority(const std::string& host, std::uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void send(httplib::Response& response, ApiAnswer answer) {
    response.status = answer.status;
    // Through a content provider, which Debian's httplib sends as it is: a body set directly
    // it compresses with brotli at its slowest setting, which takes seconds for a large answer.
    auto body = std::make_shared<const std::string>(std::move(answer.body));
    response.set_content_provider(
        body->size(), answer.content_type.c_str(),
        [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return sink.write(body->data() + offset, length);
        });
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

struct HttpServer::State {
    httplib::Server server;
    std::string host;
    std::uint16_t port = 0;
};

HttpServer::HttpServer(const ServeApi& api, std::string host) : state_(std::make_unique<State>()) {
    state_->host = std::move(host);
    httplib::Server& server = state_->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
    server.set_keep_alive_timeout(1);
    State* state = state_.get();
    server.set_pre_routing_handler(
        [state](const httplib::Request& request, httplib::Response& response) {
            // Only a request naming this server answers: a page from another origin reaching the
            // port through a name it controls (DNS rebinding) names that name.
            const std::string named = request.get_header_value("Host");
            const bool ours =
                named == authority(state->host, state->port) ||
                (is_loopback(state->host) && named == authority("localhost", state->port));
            if (!ours) {
                send(response, api_error(403, "Host " + named + " is not this server's address " +
                                                  authority(state->host, state->port)));
                return httplib::Server::HandlerResponse::Handled;
            }
            if (request.method != "GET" && request.method != "HEAD") {
                send(response, api_error(405, "method " + request.method +
                                                  " not allowed: the server only reads (GET)"));
                response.set_header("Allow", "GET, HEAD");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
    server.Get(".*", [&api](const httplib::Request& request, httplib::Response& response) {
        ApiParameters parameters(request.params.begin(), request.params.end());
        send(response, api.get(request.path, parameters));
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            const ApiAnswer answer =
                api_error(response.status,
                          response.status == 414 ? "request line too long" : "malformed request");
            response.set_content(answer.body, answer.content_type.c_str());
        }
    });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        // Control characters shown escaped: a request cannot forge log lines.
        const std::string line = printable(request.method) + " " + printable(request.path) + " " +
                                 std::to_string(response.status) + "\n";
        std::fputs(line.c_str(), stderr);
    });
}

HttpServer::~HttpServer() = default;

std::uint16_t HttpServer::bind(std::uint16_t port) {
    httplib::Server& server = state_->server;
    int bound = 0;
    if (port == 0) {
        bound = server.bind_to_any_port(state_->host.c_str());
    } else if (server.bind_to_port(state_->host.c_str(), port)) {
        bound = port;
    }
    state_->port = bound > 0 ? static_cast<std::uint16_t>(bound) : 0;
    return state_->port;
}

bool HttpServer::listen() { return state_->server.listen_after_bind(); }

void HttpServer::stop() { state_->server.stop(); }

int run_serve(const CommandLine& line, const vorn_package::ProfileColumns& columns) {
    // SIGINT and SIGTERM wait for one thread that stops the server; every other thread,
    // started after this, has them blocked.
    sigset_t endings;
    sigemptyset(&endings);
    sigaddset(&endings, SIGINT);
    sigaddset(&endings, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endings, nullptr);

    const auto started = std::chrono::steady_clock::now();
    const ServeApi api(columns, line.profile, line.threads);
    HttpServer server(api, line.host);
    const std::uint16_t port = server.bind(line.port);
    if (port == 0) {
        print_error("cannot listen on " + authority(line.host, line.port) +
                    " (in use, or not an address of this machine)");
        return 1;
    }
    if (!is_loopback(line.host)) {
        std::fprintf(stderr,
                     "warning: listening on %s, not a loopback address: anyone who can reach "
                     "the port can read the profile\n",
                     line.host.c_str());
    }
    std::cout << "http://" << authority(line.host, port) << "/" << std::endl;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "ready in %.2f s after the profile was read; Ctrl-C ends\n", seconds);

    // A signal may come before the server runs, when stopping it does nothing: the waiter
    // stops it until it has stopped.
    std::atomic<bool> stopped{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&endings, &signal);
        while (!stopped) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    server.listen();
    stopped = true;
    // Stopped without a signal (the socket failed): wake the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}

}  // namespace vorn_cli
