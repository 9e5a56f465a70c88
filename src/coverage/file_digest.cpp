#include "coverage/file_digest.h"

#include <fcntl.h>
#include <md5.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "coverage/coverage_error.h"
#include "driver/ryn_util/unique_fd.h"
#include "ryn/exec_util.h"

using ryn::md5_digest_text;

namespace coverage {

std::string file_digest(const std::string& path) {
    const ryn::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        throw CoverageError("cannot read " + path + ": " + std::strerror(errno));
    }
    MD5_CTX context;
    MD5Init(&context);
    // On the heap: the engine may run with a stack limit as small as this buffer.
    std::vector<unsigned char> block(1 << 16);
    for (;;) {
        const ssize_t n = read(fd.get(), block.data(), block.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw CoverageError("cannot read " + path + ": " + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        MD5Update(&context, block.data(), static_cast<size_t>(n));
    }
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5Final(digest, &context);
    return md5_digest_text(digest);
}

}  // namespace coverage
