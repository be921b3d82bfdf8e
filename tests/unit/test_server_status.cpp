// The server object's status and error texts, in-process.
#include "common/OpcDefs.h"
#include "opc/OPCSrvr.h"

#include <gtest/gtest.h>

namespace {
IOPCServer* MakeServer()
{
    IOPCServer* server = nullptr;
    EXPECT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)));
    return server;
}
bool IsZero(const FILETIME& ft) { return ft.dwLowDateTime == 0 && ft.dwHighDateTime == 0; }
}  // namespace

TEST(ServerStatus, FreshServerReportsItsStatus)
{
    IOPCServer* server = MakeServer();
    ASSERT_NE(nullptr, server);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    ASSERT_NE(nullptr, status);
    EXPECT_FALSE(IsZero(status->ftStartTime));
    EXPECT_FALSE(IsZero(status->ftCurrentTime));
    EXPECT_TRUE(IsZero(status->ftLastUpdateTime));
    EXPECT_GE(CompareFileTime(&status->ftCurrentTime, &status->ftStartTime), 0);
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(0u, status->dwGroupCount);
    EXPECT_EQ(0xFFFFFFFFu, status->dwBandWidth);
    EXPECT_EQ(1, status->wMajorVersion);
    EXPECT_EQ(0, status->wMinorVersion);
    EXPECT_EQ(0, status->wBuildNumber);
    EXPECT_EQ(0, status->wReserved);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_STREQ(L"Korvell", status->szVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    server->Release();
}

TEST(ServerStatus, BadOutPointersGiveInvalidArg)
{
    IOPCServer* server = MakeServer();
    ASSERT_NE(nullptr, server);
    EXPECT_EQ(E_INVALIDARG, server->GetStatus(nullptr));
    EXPECT_EQ(E_INVALIDARG, server->GetStatus(reinterpret_cast<OPCSERVERSTATUS**>(8)));
    EXPECT_EQ(E_INVALIDARG, server->GetErrorString(E_OUTOFMEMORY, 0, nullptr));
    server->Release();
}

TEST(ServerStatus, ErrorStringsComeFromTheSystem)
{
    IOPCServer* server = MakeServer();
    ASSERT_NE(nullptr, server);
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    ASSERT_EQ(S_OK, server->GetErrorString(E_OUTOFMEMORY, MAKELCID(LANG_NEUTRAL, SORT_DEFAULT), &text));
    ASSERT_NE(nullptr, text);
    EXPECT_GT(wcslen(text), 0u);
    CoTaskMemFree(text);

    text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_FAIL, server->GetErrorString(OPC_E_DUPLICATENAME, 0, &text));
    EXPECT_EQ(nullptr, text);
    server->Release();
}
