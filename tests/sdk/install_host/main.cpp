// A minimal host of libquillonvarde_sdk: installs its log function and level object,
// connects, reads the first 4 KiB of a disk in the LAN transport, and cleans up.
// Usage: install_host <server-ip> <port> <token> <disk-path>
#include <Quillonvarde_sdk.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

static void host_log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::printf("[%d] ", level);
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
}

// The order of the seven virtual functions must match the library's declaration.
class HostLevels : public CQuillonvardeDebugLevel {
  public:
    int GetDebugLevel() override { return 0; }
    void SetDebugLevel(int) override {}
    int GetTraceLevel() override { return 1; }
    int GetInfoLevel() override { return 2; }
    int GetDetailLevel() override { return 3; }
    int GetWarnLevel() override { return 4; }
    int GetErrorLevel() override { return 5; }
};

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <server-ip> <port> <token> <disk-path>\n", argv[0]);
        return 2;
    }
    static HostLevels levels;
    if (CQuillonvardeSDK::InitialSDK(host_log, &levels, "", "", "") != 0) return 1;

    CQuillonvardeSDK* sdk = CQuillonvardeSDK::CreateInstance();
    int rc = 1;
    if (sdk->ConnectHXA(argv[1], static_cast<unsigned short>(std::atoi(argv[2])), argv[3], 0) ==
        0) {
        unsigned int handle = 0;
        if (sdk->OpenDisk({}, argv[4], OPEN_READONLY, handle, TRANS_LAN) == 0) {
            std::vector<char> buf(4096);
            unsigned long long size = buf.size();
            if (sdk->ReadDisk(handle, 0, buf.size(), buf.data(), size) == 0) {
                std::printf("read %llu bytes\n", size);
                rc = 0;
            }
            sdk->CloseDisk(handle);
        }
    }
    sdk->DisConnectHXA();  // also after a failed connect: releases the socket
    CQuillonvardeSDK::DestroyInstance(sdk);
    return rc;
}
