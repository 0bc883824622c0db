// The level object a host hands to the library's InitialSDK, as the tests, the library
// benchmark and the fuzz target use it: a distinct level for every kind of message, so that a
// message's kind can be told from its level. Header-only: it needs the library's public
// header, not the library.
#ifndef ZEV_COMMON_HOST_LEVELS_H
#define ZEV_COMMON_HOST_LEVELS_H

#include "Quillonvarde_sdk.h"

namespace zev_common {

constexpr int kTraceLevel = 11;
constexpr int kInfoLevel = 22;
constexpr int kDetailLevel = 33;
constexpr int kErrorLevel = 44;

class HostLevels : public CQuillonvardeDebugLevel {
  public:
    int GetDebugLevel() override { return 901; }
    void SetDebugLevel(int) override {}
    int GetTraceLevel() override { return kTraceLevel; }
    int GetInfoLevel() override { return kInfoLevel; }
    int GetDetailLevel() override { return kDetailLevel; }
    int GetWarnLevel() override { return 906; }
    int GetErrorLevel() override { return kErrorLevel; }
};

}  // namespace zev_common

#endif  // ZEV_COMMON_HOST_LEVELS_H
