#include "profile_file.hpp"

#include <cerrno>
#include <fstream>
#include <iostream>

#include "vorn_package/profile_file.hpp"
#include "vorn_package/profile_packed.hpp"

namespace vorn_python {

using vorn_package::ProfileColumns;
using vorn_package::ReadError;
using vorn_package::Result;

Result<ProfileColumns, ReadError> read_profile_file(const std::string& path) {
    return vorn_package::read_profile_columns_file(path);
}

int write_profile_file(const std::string& path, const ProfileColumns& columns,
                       ProfileFormat format) {
    const auto write = [&](std::ostream& out) {
        if (format == ProfileFormat::Packed) {
            vorn_package::write_profile_packed(out, columns);
        } else {
            vorn_package::write_profile_json(out, vorn_package::to_report(columns));
        }
    };
    if (path == "-") {
        write(std::cout);
        std::cout.flush();
        return std::cout ? 0 : EIO;
    }
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    write(file);
    file.close();
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // namespace vorn_python
