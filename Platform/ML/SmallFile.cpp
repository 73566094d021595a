#include "Platform/ML/SmallFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform::ml {

std::string readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    std::string text(limit, '\0');  // allocated first: nothing throws while the file is open
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::size_t size = 0;
    ssize_t got = 0;
    while (size < limit && (got = ::read(fd, text.data() + size, limit - size)) != 0) {
        if (got > 0) size += static_cast<std::size_t>(got);
        else if (errno != EINTR) break;
    }
    ::close(fd);
    text.resize(got < 0 ? 0 : size);
    return text;
}

}  // namespace platform::ml
