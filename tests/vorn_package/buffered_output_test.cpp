// The buffered standard output: bytes arrive whole and in order whatever the sizes of the
// pieces, and a failed write is reported once with its errno.
#include "vorn_package/buffered_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

TEST(BufferedOutput, WritesEveryPieceInOrder) {
    // Pieces smaller than, equal to and larger than the buffer, and single characters.
    const std::vector<std::size_t> sizes{0, 1, 15, 16, 17, 3, 40, 16, 1, 33, 5};
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::string expected;
    {
        vorn_package::BufferedOutput buffer(fileno(file), 16);
        std::ostream out(&buffer);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string piece(sizes[i], static_cast<char>('a' + i));
            out << piece;
            out.put('|');
            expected += piece + "|";
        }
        EXPECT_EQ(buffer.finish(), 0);
        EXPECT_TRUE(out.good());
    }
    std::string written(expected.size() + 1, '\0');
    std::rewind(file);
    written.resize(std::fread(written.data(), 1, written.size(), file));
    std::fclose(file);
    EXPECT_EQ(written, expected);
}

TEST(BufferedOutput, ReportsTheFirstFailedWrite) {
    const int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    {
        vorn_package::BufferedOutput buffer(fd, 16);
        std::ostream out(&buffer);
        out << std::string(100, 'x');
        EXPECT_FALSE(out.good());
        EXPECT_EQ(buffer.finish(), ENOSPC);
        EXPECT_EQ(buffer.finish(), ENOSPC);
    }
    close(fd);
}

}  // namespace
