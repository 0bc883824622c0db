// The library's own texts that qv-disk relies on: the reasons that say a request can never
// succeed (the retry rule) and the line of a successful TLS handshake (the log filter). The
// library has no codes for them, only its log lines. tests/qv-disk/library_texts_test.cpp
// finds every one in the library's sources, so that a text reworded there fails the tests
// instead of silently turning a refusal into a retried failure.
#ifndef QV_DISK_LIBRARY_TEXTS_H
#define QV_DISK_LIBRARY_TEXTS_H

namespace qvdisk {

// The reasons after "ReadDisk: ", "WriteDisk: ", "OpenDisk: " and the LUN functions' names
// that say the request itself cannot succeed.
inline constexpr const char* kNeverPassTexts[] = {
    "file does not exist!",        // open: result 2
    "vhd file not exist!",         // read, write: result 2
    "token error!",                // result 3
    "file open error!",            // open: result 4, the open mode refused
    "file open flag error!",       // read, write: result 4
    "operation code error!",       // result 1
    "start block overflow!",       // result 6: the range starts outside the disk
    "data size readed overflow!",  // result 7
    "end block overflow!",         // result 9: the range ends outside the disk
    "vhd struct error!",           // result 12
    "parse vhd addr error!",       // result 13
    "invalid parameter",           // the library's and the LUN functions' argument checks
    "too much data!",              // an address map longer than the request
    "buf size not Enough",
    "open disk fail",                // a LUN device of the disk cannot be opened
    "related LUN not found!",        // an extent on a LUN that was not given
    "LunWWNList is not valid!",      // no LUN given
    "phyOffset is less than 2M",     // an address map the library refuses
    "is not pinned",                 // a service whose certificate is not among the pins
    "the service's field holds",     // a disk path or token longer than its field
    "is not a SHA-256 fingerprint",  // a pin the library refused
};

// The library reports the result of the TLS handshake at the error level also when it
// succeeded; that line is neither an error to report nor one to show unexplained.
inline constexpr char kHandshakeDone[] = "ConnectHXA SSL return:[1] ";

}  // namespace qvdisk

#endif  // QV_DISK_LIBRARY_TEXTS_H
