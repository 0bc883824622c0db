// The one implementation class of CQuillonvardeSDK. Not installed for hosts: hosts see
// only Quillonvarde_sdk.h. Members are public so that the library's own tests can drive
// the transport and LUN helpers directly.
#ifndef QUILLONVARDE_SDK_IMPL_H
#define QUILLONVARDE_SDK_IMPL_H

#include <openssl/ssl.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "hxa_protocol.h"

// One opened LUN device. The record does not own its descriptor: copying or destroying it
// never opens or closes anything; CloseLocalLunDevFile closes the descriptors.
struct QUILLONVARDE_SDK_API HFILE {
    std::string devPath;
    int fd;

    HFILE();
    HFILE(const HFILE& other);
    HFILE& operator=(const HFILE& other) = default;
    ~HFILE();
};

class QUILLONVARDE_SDK_API CQuillonvardeSDKImpl : public CQuillonvardeSDK {
  public:
    CQuillonvardeSDKImpl();

    // Interface operations, in the virtual-table order of CQuillonvardeSDK.
    int ConnectHXA(const std::string& serverIp, unsigned short port, const std::string& token,
                   unsigned int useSSL) override;
    int OpenDisk(const std::list<std::string>& LunWWNList, const std::string& diskPath,
                 OPENMODE openMode, unsigned int& diskHandle, TRANSMODE transMode) override;
    int ReadDisk(unsigned int diskHandle, unsigned long long offset, unsigned long long VMLength,
                 char* buf, unsigned long long& bufSize) override;
    int WriteDisk(unsigned int diskHandle, unsigned long long offset, unsigned long long VMLength,
                  const char* buf, long long& bufLength) override;
    int CloseDisk(unsigned int diskHandle) override;
    void DisConnectHXA() override;
    ~CQuillonvardeSDKImpl() override;

    // Instance lifecycle and process-wide set-up.
    static CQuillonvardeSDKImpl* Instance();
    static void ReleaseInstance(CQuillonvardeSDKImpl* pInstance);
    static int Initial(void (*pLogFun)(int, const char*, ...), CQuillonvardeDebugLevel* debugLevel,
                       const std::string& reserved1, const std::string& reserved2,
                       const std::string& reserved3);

    // Header checksum.
    static void init_crc_table();
    unsigned int bsb_crc32(char* data, unsigned int size);

    // Message transport over the plain or TLS connection: 0 success, -1 failure.
    int send_msg(char* data, unsigned long long size);
    int recv_msg(char* data, long long size);

    // The byte stream of the connection, plain TCP or TLS, chosen once by ConnectHXA, with
    // what belongs to the connection alone (the read-ahead of a plain one). It is kept in a
    // table of the process indexed by the connection's descriptor, so that the fields below
    // stay as hosts know them; looking it up takes no lock. transport() gives the one of the
    // present fields (made when they changed by hand; null when memory is short);
    // end_transport() ends it with the connection.
    class Transport;
    Transport* transport();
    void end_transport();

    // Local LUN devices of a SAN session.
    int OpenLocalLunDevFile(const std::list<std::string>& LunWWNList,
                            std::list<HFILE>& lunFileList);
    void CloseLocalLunDevFile();
    std::string String2Hex(const unsigned char* data, int length);
    int ReadLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs, unsigned int count, char* buf,
                unsigned long long& bufSize);
    int WriteLun(std::list<HFILE>& lunFileList, const vhd_Rec* recs, unsigned int count,
                 const char* buf, long long& bufLength);

    // LUN attachment check and SCSI rescan.
    static bool verify(const std::list<std::string>& LunWWNList);
    static bool isLunAttachedOnBackupNode(const std::list<std::string>& LunWWNList);
    static bool RescanLUNWWNOnBackupNode();

    // Child-process command execution.
    static bool executeSystemCommand(const std::string& program,
                                     const std::vector<std::string>& args,
                                     std::vector<std::string>& output);
    static void doExecvp(const std::string& program, const std::vector<std::string>& args);
    static bool getChildProcessOutput(int pid, const int* pipeFds,
                                      std::vector<std::string>& output);

    // Hooks installed by InitialSDK, shared by every object.
    static void (*m_pLog)(int level, const char* format, ...);
    static CQuillonvardeDebugLevel* m_pDebugLevel;
    static uint32_t crc_table[256];

    // Fields, in declaration order.
    uint32_t m_uiSeqNo;
    int m_iSocket;
    uint32_t m_uiUseSSL;
    SSL* m_pSSL;
    SSL_CTX* m_pSSLCtx;
    std::string m_strToken;
    OPENMODE m_uiOpenMode;
    TRANSMODE m_uiTransMode;
    std::list<HFILE> m_lunFileList;
};

#endif  // QUILLONVARDE_SDK_IMPL_H
