#include "profile_file.hpp"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <thread>

#include "vorn_package/buffered_output.hpp"
#include "vorn_package/output_file.hpp"
#include "vorn_package/profile_file.hpp"

namespace vorn_python {

using vorn_package::ProfileColumns;
using vorn_package::ReadError;
using vorn_package::Result;

std::size_t query_threads() { return std::max(1U, std::thread::hardware_concurrency()); }

Result<ProfileColumns, ReadError> read_profile_file(const std::string& path) {
    return vorn_package::read_profile_columns_file(path, {}, query_threads());
}

int write_output_file(const std::string& path, const std::function<void(std::ostream&)>& write) {
    if (path == "-") {
        write(std::cout);
        std::cout.flush();
        return std::cout ? 0 : EIO;
    }
    // Written beside the destination and renamed over it: a profile that has the old file
    // mapped (this one's own source, say) keeps reading the old, whole file.
    auto file = vorn_package::OutputFile::create(path);
    if (!file) {
        return file.error().value();
    }
    vorn_package::BufferedOutput buffer(file->fd());
    std::ostream out(&buffer);
    write(out);
    if (const int error = buffer.finish(); error != 0) {
        return error;
    }
    if (auto committed = file->commit(); !committed) {
        return committed.error().value();
    }
    return 0;
}

}  // namespace vorn_python
