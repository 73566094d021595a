#include "BexmorCore/External/Hub/FileHashing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "BexmorCore/External/Hub/HubErrors.h"
#include "Platform/Net/Sha256.h"

namespace bexmor {

std::string sha256OfFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw HubClientError::fileNotFound(file.filename().string());
    platform::Sha256 hash;
    std::vector<char> block(1048576);
    while (true) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            const std::system_error cause(errno, std::generic_category(), "reading " + file.string());
            ::close(fd);
            throw HubClientError::fileSystemError(cause);
        }
        hash.update(block.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    return hash.finishHex();
}

}  // namespace bexmor
