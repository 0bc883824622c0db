// LUN stand-ins for the SAN tests: files (or devices) whose paths end in the 32 hex digits
// of a LUN identifier, and address-map records for them.
#ifndef TESTS_SDK_LUN_FILES_H
#define TESTS_SDK_LUN_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "peer.h"
#include "test_common.h"

namespace sdktest {

using testcommon::TempDir;
using testcommon::Wwn;
using testcommon::wwn;
using testcommon::wwn_hex;

// One 64-byte address-map record; the reserved fields are filled with marker bytes.
testpeer::Bytes rec(const Wwn& id, uint64_t phyOffset, uint64_t dataLen);
// A transfer reply payload: result, count and the records.
testpeer::Bytes transfer_payload(uint16_t result, uint32_t count,
                                 const std::vector<testpeer::Bytes>& records = {});

// Creates a sparse file of `size` bytes at `path` and writes `fill` at `offset`.
void make_lun_file(const std::string& path, uint64_t size, uint64_t offset = 0,
                   const std::vector<char>& fill = {});
std::vector<char> read_file_range(const std::string& path, uint64_t offset, size_t n);
inline std::vector<char> pattern(size_t n, uint64_t seed) {
    return testcommon::pattern<std::vector<char>>(n, seed);
}

// Opens `path` read-write and appends it to `list` as an HFILE.
int add_device(std::list<HFILE>& list, const std::string& path);

}  // namespace sdktest

#endif  // TESTS_SDK_LUN_FILES_H
