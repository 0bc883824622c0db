// An output that cannot seek (a pipe, a socket, a terminal): written in the order of the
// range, which the copy loop keeps for it.
#include "io-all.h"
#include "local_end.h"

namespace qvdisk {
namespace {

class PipeEnd : public LocalEnd {
  public:
    PipeEnd(const std::string& path, int fd) : LocalEnd(path, path, fd, 0) {}
    bool sequential() const override { return true; }
    bool write_at(uint64_t, size_t n, const char* buf, Failure& f) override {
        return zev::write_all(fd_, buf, n) || fail(f, "writing " + working_);
    }
};

}  // namespace

std::unique_ptr<LocalEnd> pipe_end(const std::string& path, int fd) {
    return std::make_unique<PipeEnd>(path, fd);
}

}  // namespace qvdisk
