// vorn_package/output_file.hpp
//
// A file written beside its destination under a temporary name and renamed over it once it is
// complete. A reader that has the old file open or mapped keeps reading the old, whole file, and
// a write that fails, or a process that ends early, leaves the destination as it was.
//
//     auto file = vorn_package::OutputFile::create("run.packed");
//     if (!file) { std::cerr << "error: run.packed: " << file.error().message() << '\n'; }
//     ... write to file->fd() ...
//     if (auto done = file->commit(); !done) { ... done.error() ... }
#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "vorn_package/result.hpp"

namespace vorn_package {

class OutputFile {
public:
    /// Opens a temporary file in the destination's directory (a symbolic link is followed: the
    /// file it names is the one replaced), with the permissions of the file it replaces, or
    /// those a new file gets. A destination that exists and is not a regular file (a device
    /// such as /dev/null, a named pipe) is written in place.
    /// A failure is the system's reason for it.
    [[nodiscard]] static Result<OutputFile, std::error_code> create(const std::string& path);

    /// Removes the temporary file unless `commit` succeeded.
    ~OutputFile();
    OutputFile(OutputFile&&) noexcept;
    OutputFile& operator=(OutputFile&&) noexcept;

    /// Where to write, until `commit` or `abandon`.
    int fd() const;

    /// Closes the file and renames it over the destination; or why either failed (the
    /// temporary file is then removed and the destination left as it was).
    [[nodiscard]] Result<bool, std::error_code> commit();

    /// Closes and removes the temporary file; the destination is left as it was.
    void abandon();

private:
    struct State;
    explicit OutputFile(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace vorn_package
