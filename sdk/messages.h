// What the disk operations say at each step of their request/reply exchange and for each
// result code of a reply, and what ReadLun and WriteLun say for each failed extent: the
// message tables and the functions that log their texts. Internal to the library.
#ifndef QUILLONVARDE_SDK_MESSAGES_H
#define QUILLONVARDE_SDK_MESSAGES_H

#include <cstddef>
#include <cstdint>

namespace qvsdk {

// The disk operations: the columns of the message tables.
enum DiskOp : size_t { kOpen, kClose, kRead, kWrite, kDiskOps };

// The steps of an exchange that an operation reports, in the order they happen.
enum Step {
    kRequestNotSent,
    kRequestSent,
    kDataNotSent,
    kHeadNotReceived,
    kWrongHead,
    kHeadReceived,
    kReplyTooLong,
    kNoMemoryForReply,
    kReplyNotReceived,
};

// Logs what `op` says at `step`: `value` is the reply header's operation for kWrongHead and
// its length from kHeadReceived on, `limit` the largest reply payload accepted, `line` the
// line of the failing statement.
void say_step(DiskOp op, Step step, uint32_t value, uint32_t limit, int line);

// Logs what `op` says for reply result `result`.
void say_result(DiskOp op, uint16_t result, int line);

// Why an extent of an address map could not be carried out.
enum class ExtentFailure {
    kTooMuchData,
    kLunNotFound,
    kBelowMinOffset,
    kSeekFailed,
    kIoFailed,
    kDeviceEnded,
};

// Logs what ReadLun (`writing` false) or WriteLun says for `failure`: with the error text of
// `err` (kSeekFailed, kIoFailed) or the bytes `missing` (kDeviceEnded).
void say_extent(bool writing, ExtentFailure failure, int err, unsigned long long missing, int line);

}  // namespace qvsdk

#endif  // QUILLONVARDE_SDK_MESSAGES_H
