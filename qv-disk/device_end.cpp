// A block or character device as the local end: read and written in place at the range's
// positions, flushed, never created, truncated or renamed. What every local end does by
// default.
#include "local_end.h"

namespace qvdisk {
namespace {

class DeviceEnd : public LocalEnd {
  public:
    DeviceEnd(const std::string& path, int fd, uint64_t size) : LocalEnd(path, path, fd, size) {}
};

}  // namespace

std::unique_ptr<LocalEnd> device_end(const std::string& path, int fd, uint64_t size) {
    return std::make_unique<DeviceEnd>(path, fd, size);
}

}  // namespace qvdisk
