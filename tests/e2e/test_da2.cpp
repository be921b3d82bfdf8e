// The OPC DA 2.0 interfaces through the proxy/stub, across processes.
#include "common/OpcDefs.h"
#include "E2eUtil.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

TEST(Da2, CommonSessionThroughTheProxy)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                     reinterpret_cast<void**>(server.GetAddressOf())));
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(S_OK, server.As(&common));
    EXPECT_EQ(S_OK, common->SetLocaleID(0x409));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(0x409u, lcid);
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x407));
    DWORD count = 0;
    LCID* list = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &list));
    EXPECT_EQ(4u, count);
    CoTaskMemFree(list);
    EXPECT_EQ(S_OK, common->SetLocaleID(0));
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, common->GetErrorString(E_OUTOFMEMORY, &text));
    ASSERT_NE(nullptr, text);  // the string itself crosses, not a NULL with S_OK
    EXPECT_GT(wcslen(text), 0u);
    CoTaskMemFree(text);
    EXPECT_EQ(S_OK, common->SetClientName(L"e2e"));
    common.Reset();
    server.Reset();
    EXPECT_TRUE(e2e::WaitNoServer());
}
