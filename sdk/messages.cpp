// The message tables of the disk operations and of the LUN I/O, and the functions that log
// their texts with the values each text takes.
#include "messages.h"

#include <cstring>

#include "hxa_protocol.h"
#include "log_scope.h"

namespace qvsdk {
namespace {

// A message table: per row its key, its level and what each operation says (null: nothing).
// A text takes, in this order, the row's value, the limit, and the line of the failing
// statement where it ends in "(line %d)".
template <typename Key>
struct MessageRow {
    Key key;
    LevelGetter level;
    const char* text[kDiskOps];
};

// What each operation says at each step of its exchange: the value is the reply header's
// operation for kWrongHead and its length from kHeadReceived on.
constexpr MessageRow<Step> kStepTexts[] = {
    {kRequestNotSent,
     kErrorLevel,
     {"OpenDisk:send open disk cmd to server failed!  (line %d)",
      "CloseDisk: send aclose disk cmd to server failed!  (line %d)",
      "ReadDisk: send addr map cmd to server failed! (line %d)",
      "WriteDisk: send addr map cmd to server failed!  (line %d)"}},
    {kRequestSent,
     kInfoLevel,
     {"OpenDisk: send open disk cmd to server success!",
      "CloseDisk: send close disk cmd to server success!",
      "ReadDisk: send addr map cmd to server success! ",
      "WriteDisk: send addr map cmd to server success! "}},
    {kDataNotSent,
     kErrorLevel,
     {nullptr, nullptr, nullptr, "WriteDisk: send data to server failed!  (line %d)"}},
    {kHeadNotReceived,
     kErrorLevel,
     {"OpenDisk: recv req head from server  failed!  (line %d)",
      "CloseDisk: recv req head from server failed!  (line %d)",
      "ReadDisk: recv req head from server  failed!  (line %d)",
      "WriteDisk: recv req head from server  failed!  (line %d)"}},
    {kWrongHead,
     kErrorLevel,
     {"OpenDisk: invalid req head ,operation:%u!  (line %d)",
      "CloseDisk: invalid req head,operation:%u !  (line %d)",
      "ReadDisk:invalid req head,operation:%u (line %d)",
      "WriteDisk: invalid msg head,operation:%u (line %d)"}},
    {kHeadReceived,
     kInfoLevel,
     {"OpenDisk: recv req head from server success! msg length:%d",
      "CloseDisk: recv req head from server success! msg length:%d",
      "ReadDisk: recv req head from server success! msg length :%d",
      "WriteDisk: recv req head from server success! msg length:%d"}},
    {kReplyTooLong,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: reply length [%u] exceeds the limit [%u]!  (line %d)",
      "WriteDisk: reply length [%u] exceeds the limit [%u]!  (line %d)"}},
    {kNoMemoryForReply,
     kErrorLevel,
     {"OpenDisk: out of memory for the reply!  (line %d)",
      "CloseDisk: out of memory for the reply!  (line %d)",
      "ReadDisk: out of memory for a reply of [%u] bytes!  (line %d)",
      "WriteDisk: out of memory for a reply of [%u] bytes!  (line %d)"}},
    {kReplyNotReceived,
     kErrorLevel,
     {"OpenDisk: recv open disk result failed!  (line %d)",
      "CloseDisk: recv close disk result failed!  (line %d)",
      "ReadDisk: recv addr map result failed!  (line %d)",
      "WriteDisk: recv addr map result failed!  (line %d)"}},
};

// What each operation says for each result code of a reply; a code without a text is
// reported by the row of kUnknownResult, whose value is the code.
constexpr uint32_t kUnknownResult = 0x10000;
constexpr MessageRow<uint32_t> kResultTexts[] = {
    {hxa::RES_OK, kInfoLevel, {"OpenDisk: success!", "CloseDisk: success!", nullptr, nullptr}},
    {hxa::RES_OPCODE_ERROR,
     kErrorLevel,
     {"OpenDisk: operation code error!  (line %d)", "CloseDisk: operation code error!  (line %d)",
      "ReadDisk: operation code error!  (line %d)", "WriteDisk: operation code error!  (line %d)"}},
    {hxa::RES_FILE_NOT_EXIST,
     kErrorLevel,
     {"OpenDisk: file does not exist!  (line %d)", nullptr,
      "ReadDisk: vhd file not exist!  (line %d)", "WriteDisk: vhd file not exist!  (line %d)"}},
    {hxa::RES_TOKEN_ERROR,
     kErrorLevel,
     {"OpenDisk: token error!  (line %d)", nullptr, "ReadDisk: token error!  (line %d)",
      "WriteDisk: token error!  (line %d)"}},
    {hxa::RES_OPEN_ERROR,
     kErrorLevel,
     {"OpenDisk: file open error!  (line %d)", nullptr,
      "ReadDisk: file open flag error!  (line %d)", "WriteDisk: file open flag error!  (line %d)"}},
    {hxa::RES_HANDLE_NOT_EXIST,
     kErrorLevel,
     {nullptr, "CloseDisk: file handle does not exist!  (line %d)",
      "ReadDisk: file handle does not exist!  (line %d)",
      "WriteDisk: file handle does not exist!  (line %d)"}},
    {hxa::RES_START_BLOCK_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: start block overflow!  (line %d)",
      "WriteDisk: start block overflow!  (line %d)"}},
    {hxa::RES_DATA_SIZE_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: data size readed overflow!  (line %d)",
      "WriteDisk: data size readed overflow!  (line %d)"}},
    {hxa::RES_READ_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: read VHDFile failed!  (line %d)",
      "WriteDisk: read VHDFile failed!  (line %d)"}},
    {hxa::RES_END_BLOCK_OVERFLOW,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: end block overflow!  (line %d)",
      "WriteDisk: end block overflow!  (line %d)"}},
    {hxa::RES_WRITE_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: write vhd file failed!  (line %d)",
      "WriteDisk: write vhd file failed!  (line %d)"}},
    {hxa::RES_CLOSE_FAILED,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: close vhd file failed!  (line %d)",
      "WriteDisk: close vhd file failed!  (line %d)"}},
    {hxa::RES_STRUCT_ERROR,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: vhd struct error!  (line %d)",
      "WriteDisk: vhd struct error!  (line %d)"}},
    {hxa::RES_ADDR_PARSE_ERROR,
     kErrorLevel,
     {nullptr, nullptr, "ReadDisk: parse vhd addr error!  (line %d)",
      "WriteDisk: parse vhd addr error!  (line %d)"}},
    {kUnknownResult,
     kErrorLevel,
     {"OpenDisk: unknown error!  (line %d)", "CloseDisk: unknown error!  (line %d)",
      "ReadDisk: unknown error, result:[%d] (line %d)", "WriteDisk: unknown error!  (line %d)"}},
};

// Logs `text` at `level` with the values it takes (see MessageRow). The number of its
// conversions tells which: those before a closing "(line %d)" take `value`, then `limit`.
void log_message(LevelGetter level, const char* text, uint32_t value, uint32_t limit, int line) {
    if (text == nullptr) return;
    const bool hasLine = std::strstr(text, "(line %d)") != nullptr;
    int values = hasLine ? -1 : 0;
    for (const char* p = text; (p = std::strchr(p, '%')) != nullptr; p += 2) {
        if (p[1] == '\0') break;
        if (p[1] != '%') ++values;
    }
    if (values <= 0)
        hasLine ? log_at(level, text, line) : log_at(level, text);
    else if (values == 1)
        hasLine ? log_at(level, text, value, line) : log_at(level, text, value);
    else
        log_at(level, text, value, limit, line);
}

template <typename Key, size_t N>
const MessageRow<Key>& row_of(const MessageRow<Key> (&table)[N], Key key) {
    for (const MessageRow<Key>& row : table)
        if (row.key == key) return row;
    return table[N - 1];
}

// What ReadLun and WriteLun say for each failed extent. A text takes, in this order, the
// error text of a failed seek or device call (kSeekFailed, kIoFailed) or the bytes a device
// did not move (kDeviceEnded), and the line of the failing statement.
constexpr struct {
    ExtentFailure key;
    const char* text[2];  // ReadLun, WriteLun
} kExtentTexts[] = {
    {ExtentFailure::kTooMuchData,
     {"ReadLun: fail! too much data!  (line %d)", "WriteLun: fail! too much data!  (line %d)"}},
    {ExtentFailure::kLunNotFound,
     {"ReadLun: related LUN not found!  (line %d)", "WriteLun: related LUN not found!  (line %d)"}},
    {ExtentFailure::kBelowMinOffset,
     {"ReadLun: fail! The phyOffset is less than 2M bytes!  (line %d)",
      "WriteLun: fail! The phyOffset is less than 2M bytes!  (line %d)"}},
    {ExtentFailure::kSeekFailed,
     {"ReadLun: cannot seek to the extent: %s  (line %d)",
      "WriteLun: cannot seek to the extent: %s  (line %d)"}},
    {ExtentFailure::kIoFailed, {"ReadLun: %s  (line %d)", "WriteLun: %s  (line %d)"}},
    {ExtentFailure::kDeviceEnded,
     {"ReadLun: device ended before the extent was complete, %llu bytes missing!  (line %d)",
      "WriteLun: device accepted no more data, %llu bytes of the extent unwritten!  (line %d)"}},
};

}  // namespace

void say_step(DiskOp op, Step step, uint32_t value, uint32_t limit, int line) {
    const MessageRow<Step>& row = row_of(kStepTexts, step);
    log_message(row.level, row.text[op], value, limit, line);
}

void say_result(DiskOp op, uint16_t result, int line) {
    const MessageRow<uint32_t>* row = &row_of(kResultTexts, static_cast<uint32_t>(result));
    if (row->text[op] == nullptr) row = &row_of(kResultTexts, kUnknownResult);
    log_message(row->level, row->text[op], result, 0, line);
}

void say_extent(bool writing, ExtentFailure failure, int err, unsigned long long missing,
                int line) {
    const char* text = nullptr;
    for (const auto& row : kExtentTexts)
        if (row.key == failure) text = row.text[writing ? 1 : 0];
    if (failure == ExtentFailure::kSeekFailed || failure == ExtentFailure::kIoFailed)
        log_at(kErrorLevel, text, std::strerror(err), line);
    else if (failure == ExtentFailure::kDeviceEnded)
        log_at(kErrorLevel, text, missing, line);
    else
        log_at(kErrorLevel, text, line);
}

}  // namespace qvsdk
