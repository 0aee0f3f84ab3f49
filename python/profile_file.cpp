#include "profile_file.hpp"

#include <cerrno>
#include <fstream>
#include <iostream>

namespace vorn_python {

vorn_package::Result<vorn_package::ProfileColumns, vorn_package::ReadError> read_profile_file(
    const std::string& path) {
    auto read = vorn_package::read_profile_json_file(path);
    if (!read) {
        return vorn_package::Unexpected<vorn_package::ReadError>{read.error()};
    }
    return vorn_package::to_columns(*read);
}

int write_profile_file(const std::string& path, const vorn_package::ProfileColumns& columns) {
    const vorn_package::ProfileReport records = vorn_package::to_report(columns);
    if (path == "-") {
        vorn_package::write_profile_json(std::cout, records);
        std::cout.flush();
        return std::cout ? 0 : EIO;
    }
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    vorn_package::write_profile_json(file, records);
    file.close();
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // namespace vorn_python
