// Writing a file by renaming a finished temporary file over it. The temporary file is created in
// the destination's own directory, since a rename is atomic only within one file system.
#include "vorn_package/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "vorn_package/mapped_file_guard.hpp"

namespace vorn_package {
namespace {

std::error_code system_error(int code) { return {code, std::generic_category()}; }

/// The file a path names once symbolic links are followed, when it exists.
std::string followed(const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return path;
    }
    std::string target(real);
    std::free(real);
    return target;
}

}  // namespace

struct OutputFile::State {
    int fd = -1;
    std::string destination;
    std::string temporary;  ///< empty when the destination is written in place
    int guard = -1;

    ~State() { abandon(); }

    void abandon() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        if (!temporary.empty()) {
            ::unlink(temporary.c_str());
            temporary.clear();
        }
        detail::release_output(guard);
        guard = -1;
    }
};

OutputFile::OutputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
OutputFile::~OutputFile() = default;
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;

Result<OutputFile, std::error_code> OutputFile::create(const std::string& path) {
    if (path.empty()) {
        return Unexpected<std::error_code>{system_error(ENOENT)};
    }
    auto state = std::make_unique<State>();
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        state->fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (state->fd < 0) {
            return Unexpected<std::error_code>{system_error(errno)};
        }
        state->destination = path;
        return OutputFile(std::move(state));
    }
    state->destination = followed(path);
    const std::size_t slash = state->destination.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : state->destination.substr(0, slash + 1);
    const std::string name =
        slash == std::string::npos ? state->destination : state->destination.substr(slash + 1);
    static std::atomic<unsigned> made{0};
    const mode_t mode = exists ? (existing.st_mode & 07777) : 0666;
    for (int attempt = 0; state->fd < 0; ++attempt) {
        std::string temporary = directory + (slash == std::string::npos ? "/." : ".") + name + "." +
                                std::to_string(::getpid()) + "-" +
                                std::to_string(made.fetch_add(1)) + ".tmp";
        state->fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (state->fd >= 0) {
            state->temporary = std::move(temporary);
        } else if (errno != EEXIST || attempt == 100) {
            return Unexpected<std::error_code>{system_error(errno)};
        }
    }
    // The creation mode went through the umask; a replaced file keeps its own permissions.
    if (exists) {
        ::fchmod(state->fd, mode);
    }
    state->guard = detail::guard_output(state->temporary);
    return OutputFile(std::move(state));
}

int OutputFile::fd() const { return state_->fd; }

Result<bool, std::error_code> OutputFile::commit() {
    State& s = *state_;
    const int fd = s.fd;
    s.fd = -1;
    if (fd < 0 || ::close(fd) != 0 ||
        (!s.temporary.empty() && ::rename(s.temporary.c_str(), s.destination.c_str()) != 0)) {
        const std::error_code why = system_error(fd < 0 ? EBADF : errno);
        s.abandon();
        return Unexpected<std::error_code>{why};
    }
    s.temporary.clear();
    s.abandon();
    return true;
}

void OutputFile::abandon() { state_->abandon(); }

}  // namespace vorn_package
