// The server's API: its answers equal the tool's bytes, and every bad request gets its status
// and a JSON error, through a real server on a free port.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <random>
#include <thread>

#include "cli_harness.hpp"
#include "serve.hpp"
#include "vorn_package/profile_packed.hpp"

namespace {

using cli_test::run_tool;
using vorn_cli::ApiAnswer;
using vorn_cli::ApiParameters;

/// A synthetic profile, in memory and as a packed file for the tool.
struct Profile {
    vorn_package::ProfileColumns columns;
    std::string path;
};

const Profile& profile() {
    static const Profile made = [] {
        vorn_package::SyntheticOptions options;
        options.tiles = 12;
        options.steps_per_tile = 150;
        Profile p{vorn_package::synthetic_columns(options),
                  (cli_test::scratch() / "serve.packed").string()};
        std::ofstream out(p.path, std::ios::binary);
        vorn_package::write_profile_packed(out, p.columns);
        return p;
    }();
    return made;
}

const vorn_cli::ServeApi& api() {
    static const vorn_cli::ServeApi made(profile().columns, profile().path, 2);
    return made;
}

/// The tool's words for the same parameters: `command PROFILE --name value ... --format json`.
std::vector<std::string> tool_words(const std::string& command, const ApiParameters& parameters) {
    std::vector<std::string> words{command, profile().path};
    for (const auto& [name, value] : parameters) {
        words.push_back("--" + name);
        words.push_back(value);
    }
    words.insert(words.end(), {"--format", "json"});
    return words;
}

/// Random query parameters: each option present or not, with values the tool accepts or not.
ApiParameters random_parameters(std::mt19937& random, bool supersteps) {
    const auto pick = [&](std::initializer_list<const char*> values) {
        return std::string(*(values.begin() + random() % values.size()));
    };
    const auto maybe = [&] { return random() % 3 == 0; };
    ApiParameters p;
    if (!supersteps && maybe()) {
        p.emplace_back("group-by", pick({"kind", "kernel", "operation", "phase", "tile"}));
    }
    if (!supersteps && maybe()) {
        p.emplace_back("group-by", "metadata");
        p.emplace_back("metadata-key", pick({"layer", "block", ""}));
    }
    if (!supersteps && maybe()) {
        p.emplace_back("sort-by", pick({"phase-cycles", "work-cycles", "samples", "name"}));
    }
    if (supersteps && maybe()) {
        p.emplace_back("by", pick({"tile", "occurrence"}));
    }
    if (maybe()) {
        p.emplace_back("kind", pick({"compute", "exchange", "idle"}));
    }
    if (maybe()) {
        p.emplace_back("kernel", pick({"gemm", "add", ""}));
    }
    if (maybe()) {
        p.emplace_back("tile", pick({"1", "0-3,7", "2"}));
        if (maybe()) {
            p.emplace_back("tile", "9-11");
        }
    }
    if (maybe()) {
        p.emplace_back("phase", pick({"1-3", "0"}));
    }
    if (maybe()) {
        p.emplace_back("metadata", pick({"layer", "layer=embedding", "block"}));
    }
    if (maybe()) {
        p.emplace_back("operation-contains", pick({"gemm", "load", ""}));
    }
    if (maybe()) {
        const std::uint64_t from = random() % 400'000;
        p.emplace_back("from", std::to_string(from));
        p.emplace_back("to", std::to_string(from + 1 + random() % 300'000));
    }
    if (maybe()) {
        p.emplace_back("limit", std::to_string(random() % 5));
    }
    if (!supersteps && maybe()) {
        p.emplace_back("sample-limit", std::to_string(random() % 4));
    }
    if (maybe()) {
        p.emplace_back("at-offset", std::to_string(random() % 500'000));
    }
    return p;
}

TEST(ServeApi, RandomQueriesAndSuperstepsAreTheToolsBytes) {
    std::mt19937 random(19);
    for (int round = 0; round < 24; ++round) {
        const bool supersteps = round % 3 == 2;
        const ApiParameters parameters = random_parameters(random, supersteps);
        const std::string command = supersteps ? "supersteps" : "query";
        const ApiAnswer answer = api().get("/api/" + command, parameters);
        const cli_test::Outcome tool = run_tool(tool_words(command, parameters));
        SCOPED_TRACE(testing::PrintToString(tool_words(command, parameters)));
        if (tool.status == 0) {
            EXPECT_EQ(answer.status, 200);
            EXPECT_EQ(answer.content_type, "application/json");
            EXPECT_EQ(answer.body, tool.out);
        } else {
            // The tool refused the options: the same words, as the API's error.
            EXPECT_EQ(answer.status, 400);
            EXPECT_EQ(answer.body,
                      "{\"error\": " +
                          vorn_view::json_string(tool.err.substr(7, tool.err.size() - 8)) + "}\n");
        }
    }
}

TEST(ServeApi, BadParametersGetTheCommandLinesErrors) {
    // Each parameter and the words the tool says about the same option.
    const std::vector<std::pair<ApiParameters, std::vector<std::string>>> cases = {
        {{{"kind", "bogus"}}, {"--kind", "bogus"}},
        {{{"grup-by", "kind"}}, {"--grup-by", "kind"}},
        {{{"from", "10"}, {"to", "10"}}, {"--from", "10", "--to", "10"}},
        {{{"from", "20"}, {"to", "10"}}, {"--from", "20", "--to", "10"}},
        {{{"tile", "3-1"}}, {"--tile", "3-1"}},
        {{{"limit", "-1"}}, {"--limit", "-1"}},
        {{{"limit", "1"}, {"limit", "2"}}, {"--limit", "1", "--limit", "2"}},
    };
    for (const auto& [parameters, words] : cases) {
        std::vector<std::string> args{"query", profile().path};
        args.insert(args.end(), words.begin(), words.end());
        const cli_test::Outcome tool = run_tool(args);
        ASSERT_EQ(tool.status, 2) << tool.err;
        const std::string message = tool.err.substr(7, tool.err.size() - 8);  // "error: ...\n"
        const ApiAnswer answer = api().get("/api/query", parameters);
        EXPECT_EQ(answer.status, 400);
        EXPECT_EQ(answer.body, "{\"error\": " + vorn_view::json_string(message) + "}\n");
    }
    // Options the API answers itself, and names no option could have.
    for (const char* name :
         {"format", "threads", "help", "version", "o", "output", "--kind", "Kind", ""}) {
        const ApiAnswer answer = api().get("/api/query", {{name, "json"}});
        EXPECT_EQ(answer.status, 400) << name;
        EXPECT_NE(answer.body.find("unknown parameter"), std::string::npos) << answer.body;
    }
    EXPECT_EQ(api().get("/api/info", {{"x", "1"}}).status, 400);
}

TEST(ServeApi, TimelineParametersAreChecked) {
    const auto status = [](const ApiParameters& parameters) {
        return api().get("/api/timeline", parameters).status;
    };
    EXPECT_EQ(status({{"width", "100"}}), 200);
    EXPECT_EQ(status({{"width", "16384"}, {"from", "5"}, {"to", "9"}}), 200);
    EXPECT_EQ(status({{"width", "0"}}), 400);
    EXPECT_EQ(status({{"width", "16385"}}), 400);
    EXPECT_EQ(status({{"width", "ten"}}), 400);
    EXPECT_EQ(status({}), 400);
    EXPECT_EQ(status({{"width", "10"}, {"width", "10"}}), 400);
    EXPECT_EQ(status({{"width", "10"}, {"from", "9"}, {"to", "9"}}), 400);
    EXPECT_EQ(status({{"width", "10"}, {"group-by", "kind"}}), 400);
    EXPECT_EQ(status({{"width", "10"}, {"kind", "nothing"}}), 400);
    EXPECT_EQ(status({{"width", "10"}, {"format", "json"}}), 200);
    EXPECT_EQ(status({{"width", "10"}, {"format", "binary"}, {"kind", "compute"}}), 200);
    for (const char* format : {"", "Binary", "xml", "json,binary"}) {
        EXPECT_EQ(status({{"width", "10"}, {"format", format}}), 400) << format;
    }
    EXPECT_EQ(status({{"width", "10"}, {"format", "json"}, {"format", "binary"}}), 400);
    EXPECT_EQ(api().get("/api/timeline", {{"width", "10"}, {"format", "xml"}}).body,
              "{\"error\": \"format: unknown value 'xml' (expected one of json, binary)\"}\n");
    EXPECT_EQ(api().get("/api/timeline", {{"width", "10"}, {"format", "binary"}}).content_type,
              "application/octet-stream");
    EXPECT_EQ(api().get("/api/timeline", {{"width", "0"}}).body,
              "{\"error\": \"width: 0 is out of range (1 to 16384)\"}\n");
}

/// A server on a free loopback port, served from a thread for the test's lifetime.
class Server {
public:
    Server() : http_(api(), "127.0.0.1") {
        port_ = http_.bind(0);
        thread_ = std::thread([this] { http_.listen(); });
    }
    ~Server() {
        http_.stop();
        thread_.join();
    }
    std::uint16_t port() const { return port_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

    /// Sends `request` as it is over a new connection and returns the status of the answer
    /// (0 when there is none). The connection stays open for writing: the server takes a
    /// closed one for a client that went away, and would not answer.
    int raw(const std::string& request) const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return 0;
        }
        std::size_t sent = 0;
        while (sent < request.size()) {
            const ssize_t n =
                ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        std::string answer;
        char buffer[4096];
        ssize_t n = 0;
        while (answer.size() < 12 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return answer.starts_with("HTTP/1.1 ") && answer.size() >= 12
                   ? std::stoi(answer.substr(9, 3))
                   : 0;
    }

private:
    vorn_cli::HttpServer http_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(ServeHttp, EveryStatusWithAJsonError) {
    const Server server;
    ASSERT_NE(server.port(), 0);
    httplib::Client client("127.0.0.1", server.port());
    const auto expect = [&](const httplib::Result& result, int status) {
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, status);
        EXPECT_TRUE(result->body.starts_with(status == 200 ? "" : "{\"error\": ")) << result->body;
    };
    expect(client.Get("/api/info"), 200);
    expect(client.Get("/"), 200);
    expect(client.Get("/api/query?kind=compute&group-by=tile"), 200);
    expect(client.Get("/api/query?kind=bogus"), 400);
    expect(client.Get("/api/timeline?width=0"), 400);
    expect(client.Get("/api/nothing"), 404);
    expect(client.Get("/../../etc/passwd"), 404);
    expect(client.Get("/%2e%2e/%2e%2e/etc/passwd"), 404);
    expect(client.Get("//etc/passwd"), 404);
    expect(client.Post("/api/query", "x", "text/plain"), 405);
    expect(client.Delete("/api/info"), 405);
    expect(client.Put("/", "x", "text/plain"), 405);
    expect(client.Get("/api/query?kernel=" + std::string(70'000, 'a')), 414);
    expect(client.Get("/api/info", {{"Host", "evil.example:80"}}), 403);
    expect(client.Get("/api/info", {{"Host", "127.0.0.1:1"}}), 403);
    expect(client.Get("/api/info", {{"Host", "localhost:" + std::to_string(server.port())}}), 200);

    EXPECT_EQ(server.raw("GET /api/info HTTP/1.1\r\nConnection: close\r\n\r\n"),
              403);  // no Host at all
    EXPECT_EQ(server.raw("GET /api/info HTTP/1.1\r\nConnection: close\r\nHost: " + server.host() +
                         "\r\n\r\n"),
              200);
    EXPECT_EQ(server.raw("GET /api/info HTTP/1.1\r\nConnection: close\r\nHost: " + server.host() +
                         "\r\n\r\n"),
              200);
}

TEST(ServeHttp, ConcurrentRequestsAreAllAnswered) {
    const Server server;
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int c = 0; c < 6; ++c) {
        clients.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", server.port());
            const auto result =
                client.Get(c % 2 == 0 ? "/api/timeline?width=800" : "/api/query?group-by=tile");
            answered += result && result->status == 200 ? 1 : 0;
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(answered, 6);
}

TEST(ServeHttp, RandomRequestLinesLeaveItAnswering) {
    const Server server;
    std::mt19937 random(7);
    const std::string alphabet = "/?&=%.-_abcdefgkmnopqrstuwy0123456789 \t\r\n:+;,[]'\"\\\x01\xff";
    const char* paths[] = {
        "/api/query?", "/api/timeline?", "/api/supersteps?", "/api/info?", "/", ""};
    for (int round = 0; round < 2000; ++round) {
        std::string line = round % 5 == 0 ? "" : "GET ";
        line += paths[random() % std::size(paths)];
        const std::size_t length = random() % (round % 97 == 0 ? 20'000 : 80);
        for (std::size_t i = 0; i < length; ++i) {
            line += alphabet[random() % alphabet.size()];
        }
        const std::string request =
            line + " HTTP/1.1\r\nHost: " + server.host() + "\r\nConnection: close\r\n\r\n";
        const int status = server.raw(request);
        EXPECT_TRUE(status == 0 || status == 200 || status == 400 || status == 404 ||
                    status == 405 || status == 414)
            << status << " for " << testing::PrintToString(line);
    }
    EXPECT_EQ(server.raw("GET /api/info HTTP/1.1\r\nConnection: close\r\nHost: " + server.host() +
                         "\r\n\r\n"),
              200);
}

}  // namespace

namespace {

/// Runs `vorn-profile serve` on the test's profile, sends `signal` after `delay`, and returns
/// its exit status (-1 when it has not ended within 10 s, and it is then killed).
int serve_until(int signal, std::chrono::milliseconds delay) {
    std::string tool = VORN_PROFILE_EXE;
    std::string command = "serve";
    std::string path = profile().path;
    std::string port_option = "--port";
    std::string port = "0";
    char* argv[] = {tool.data(),        command.data(), path.data(),
                    port_option.data(), port.data(),    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -2;
    }
    std::this_thread::sleep_for(delay);
    ::kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

TEST(ServeProcess, SigintAndSigtermEndItWithStatusZero) {
    // Once it serves: a signal while the profile is still being opened ends it as any command.
    EXPECT_EQ(serve_until(SIGTERM, std::chrono::milliseconds(1500)), 0);
    EXPECT_EQ(serve_until(SIGINT, std::chrono::milliseconds(1500)), 0);
}

}  // namespace
