// Public interface of libquillonvarde_sdk for host programs (backup agents).
//
// A host uses the library in this order:
//   CQuillonvardeSDK::InitialSDK            once per process, before anything else
//   CQuillonvardeSDK::CreateInstance        one object per connection
//   ConnectHXA, OpenDisk, ReadDisk/WriteDisk..., CloseDisk, DisConnectHXA
//   CQuillonvardeSDK::DestroyInstance
// CQuillonvardeSDK::verifyLUNAttached needs no object.
//
// Binary interface: the host calls the operations through the virtual tables declared
// here, so the order of the virtual functions of both classes below is part of the
// library's interface and must never change.
#ifndef QUILLONVARDE_SDK_H
#define QUILLONVARDE_SDK_H

#include <list>
#include <string>

#define QUILLONVARDE_SDK_API __attribute__((visibility("default")))

// Open mode of a disk session. In the SAN transport its value is the flag word given to
// open(2) for every LUN device (0 read-only, 1 write-only, 2 read-write); in the LAN
// transport its low 16 bits travel to the HXA service. The underlying type is fixed (the
// type the compiler chose anyway) so that every flag word is a valid value.
enum OPENMODE : unsigned int {
    OPEN_READONLY = 0,
    OPEN_WRITEONLY = 1,
    OPEN_READWRITE = 2,
};

// Transport mode of a disk session. Values other than these two are valid values of the type
// (fixed underlying type); the operations answer them with a failure.
enum TRANSMODE : unsigned int {
    TRANS_SAN = 0,  // the service answers with address maps; data moves on local LUN devices
    TRANS_LAN = 1,  // the data travels inside the protocol
};

// The host's level object. The library calls GetTraceLevel, GetInfoLevel, GetDetailLevel
// and GetErrorLevel and hands the returned value to the host's log function unchanged.
// The order of these seven virtual functions is the order of the host's virtual table
// and must match the host's class exactly.
class CQuillonvardeDebugLevel {
  public:
    virtual int GetDebugLevel() = 0;            // 1: not called by the library
    virtual void SetDebugLevel(int level) = 0;  // 2: not called by the library
    virtual int GetTraceLevel() = 0;            // 3: entry and exit lines of every operation
    virtual int GetInfoLevel() = 0;             // 4: progress and success messages
    virtual int GetDetailLevel() = 0;           // 5: final success message of a send
    virtual int GetWarnLevel() = 0;             // 6: not called by the library
    virtual int GetErrorLevel() = 0;            // 7: failure messages

  protected:
    // The host owns its level object; the library only keeps a pointer and never deletes it.
    ~CQuillonvardeDebugLevel() = default;
};

class QUILLONVARDE_SDK_API CQuillonvardeSDK {
  public:
    CQuillonvardeSDK() {}

    // The six operations, in virtual-table order. Each returns 0 on success, 1 on failure
    // (DisConnectHXA returns nothing); the reason is given in the log only.
    virtual int ConnectHXA(const std::string& serverIp, unsigned short port,
                           const std::string& token, unsigned int useSSL) = 0;
    virtual int OpenDisk(const std::list<std::string>& LunWWNList, const std::string& diskPath,
                         OPENMODE openMode, unsigned int& diskHandle, TRANSMODE transMode) = 0;
    virtual int ReadDisk(unsigned int diskHandle, unsigned long long offset,
                         unsigned long long VMLength, char* buf, unsigned long long& bufSize) = 0;
    virtual int WriteDisk(unsigned int diskHandle, unsigned long long offset,
                          unsigned long long VMLength, const char* buf, long long& bufLength) = 0;
    virtual int CloseDisk(unsigned int diskHandle) = 0;
    virtual void DisConnectHXA() = 0;
    virtual ~CQuillonvardeSDK() {}

    // A new, independent object; the host owns it until DestroyInstance.
    static CQuillonvardeSDK* CreateInstance();
    // Deletes an object made by CreateInstance; null or a foreign object is ignored.
    static void DestroyInstance(CQuillonvardeSDK* pInstance);
    // Installs the host's printf-style log function and level object; 0 success, 1 failure.
    // The three strings are accepted for compatibility and not used.
    static int InitialSDK(void (*pLogFun)(int, const char*, ...),
                          CQuillonvardeDebugLevel* debugLevel, const std::string& reserved1,
                          const std::string& reserved2, const std::string& reserved3);
    // Rescans the node's SCSI buses and checks that every LUN of the list is present under
    // /dev/disk/by-id/.
    static bool verifyLUNAttached(const std::list<std::string>& LunWWNList);
    // Pins the service's certificate for the object's later TLS connections: each entry is
    // the SHA-256 fingerprint of an accepted certificate (its DER form), 64 hexadecimal
    // digits, colons between the bytes optional, case ignored. With pins set, ConnectHXA
    // with TLS refuses a service whose certificate matches none of them; an empty list
    // removes the pins, and without pins any certificate is accepted. Returns 0 when the
    // pins are stored, 1 (pins unchanged) for a null object or an entry that is not such a
    // fingerprint. Plain connections are not affected.
    static int PinServerCertificates(CQuillonvardeSDK* pInstance,
                                     const std::list<std::string>& sha256Fingerprints);
    // The SHA-256 fingerprint of the certificate the service presented on the object's TLS
    // connection, as upper-case byte pairs separated by colons (the form the pins take), so
    // that a host can show a user what to pin. Returns 0 with the fingerprint in
    // sha256Fingerprint, 1 (sha256Fingerprint unchanged) for a null object or an object with
    // no TLS connection.
    static int ServerCertificateFingerprint(CQuillonvardeSDK* pInstance,
                                            std::string& sha256Fingerprint);
};

#endif  // QUILLONVARDE_SDK_H
