#include "pending_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "engine_error.h"

namespace morphel {
namespace {

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void copy_contents(int from, const std::string& from_path, int to, const std::string& to_path) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n == 0) {
            return;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_with_errno("cannot read " + from_path, errno);
        }
        if (!ryn::write_all(to, {buffer.data(), static_cast<size_t>(n)})) {
            fail_with_errno("cannot write " + to_path, errno);
        }
    }
}

}  // namespace

PendingOutput::PendingOutput(const std::string& input, const std::string& output)
    : output_(output) {
    const ryn::UniqueFd in(open(input.c_str(), O_RDONLY));
    struct stat st;
    if (!in.valid() || fstat(in.get(), &st) != 0) {
        fail_with_errno("cannot read " + input, errno);
    }
    std::string pattern = directory_of(output) + "/.morphel.XXXXXX";
    fd_.reset(mkstemp(pattern.data()));
    if (!fd_.valid()) {
        fail_with_errno("cannot create a temporary file in " + directory_of(output), errno);
    }
    temp_.path = pattern;
    mode_ = st.st_mode & 07777;
    copy_contents(in.get(), input, fd_.get(), temp_.path);
    if (fchmod(fd_.get(), mode_) != 0) {
        fail_with_errno("cannot set the permissions of " + temp_.path, errno);
    }
}

void PendingOutput::reopen() {
    fd_.reset(open(temp_.path.c_str(), O_RDWR));
    if (!fd_.valid()) {
        fail_with_errno("cannot open " + temp_.path, errno);
    }
}

PendingOutput::TempName::~TempName() {
    if (!keep && !path.empty()) {
        unlink(path.c_str());
    }
}

void PendingOutput::commit() {
    // A tool that rewrote the file may not have kept its permissions.
    if (fchmod(fd_.get(), mode_) != 0) {
        fail_with_errno("cannot set the permissions of " + temp_.path, errno);
    }
    if (close(fd_.release()) != 0) {
        fail_with_errno("cannot write " + temp_.path, errno);
    }
    if (rename(temp_.path.c_str(), output_.c_str()) != 0) {
        fail_with_errno("cannot create " + output_, errno);
    }
    temp_.keep = true;
}

}  // namespace morphel
