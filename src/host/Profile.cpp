#include "host/Profile.h"

#include "common/OpcDefs.h"
#include "common/OpcErrors.h"
#include "core/AddrSpace.h"
#include "host/ClassFactory.h"
#include "sim/TestDevice.h"

#include <cwchar>

namespace {
CTestItems g_testItems;
CTestIO* g_testIO = nullptr;  // made when the profile is chosen, kept to the end
}  // namespace

bool ScanTestServer(const wchar_t* commandLine)
{
    for (const wchar_t* p = commandLine; p && (p = wcspbrk(p, L"-/")) != nullptr; ++p) {
        if (p != commandLine && p[-1] != L' ' && p[-1] != L'\t')
            continue;
        if (_wcsnicmp(p + 1, L"TestServer", 10) == 0 && (p[11] == L'\0' || p[11] == L' ' || p[11] == L'\t'))
            return true;
    }
    return false;
}

void UseTestProfile()
{
    for (CClassTableEntry* e = g_classTable; e->pclsid; ++e)
        e->bServed = IsEqualCLSID(*e->pclsid, CLSID_OPCTestServer) != FALSE;
    if (!g_testIO)
        g_testIO = new CTestIO();
    pGlobalDeviceItems = &g_testItems;
    pGlobalDeviceIO = g_testIO;
    pfnBuildAddressSpace = &BuildTestAddressSpace;
    g_bOpcTextsInServerErrorString = true;
    StartTestSets();
}
