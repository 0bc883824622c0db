#include "stream.h"

#include <algorithm>
#include <cstring>

namespace hxasim {

Stream::ReadResult Stream::read_exact(void* data, size_t size) {
    char* p = static_cast<char*>(data);
    size_t got = std::min(size, in_end_ - in_pos_);
    std::memcpy(p, in_.data() + in_pos_, got);
    in_pos_ += got;
    while (got < size) {
        const size_t left = size - got;
        // Data of a transfer goes straight to the caller; small remainders (a request
        // header and payload) refill the buffer.
        const bool direct = left >= in_.size();
        ssize_t n = direct ? link_.receive(p + got, left) : link_.receive(in_.data(), in_.size());
        if (n <= 0) {
            if (got > 0) return ReadResult::kError;
            return n == 0                     ? ReadResult::kEof
                   : n == Link::kEndedByFault ? ReadResult::kEndedByFault
                                              : ReadResult::kError;
        }
        size_t take = static_cast<size_t>(n);
        received_ += take;
        if (!direct) {
            in_pos_ = std::min(take, left);
            in_end_ = take;
            std::memcpy(p + got, in_.data(), in_pos_);
            take = in_pos_;
        }
        got += take;
    }
    return ReadResult::kOk;
}

bool Stream::write_all(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = link_.send(p + done, size - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
        sent_ += static_cast<uint64_t>(n);
    }
    return link_.flush();
}

}  // namespace hxasim
