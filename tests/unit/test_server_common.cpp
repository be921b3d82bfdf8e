// The server object's OPC Common session: locales, error texts, client name.
#include "OpcTestUtil.h"
#include "ShutdownSinkSpy.h"
#include "TraceCapture.h"

#include <olectl.h>

#include <algorithm>

namespace {
class CommonTest : public ServerFixture {
protected:
    void SetUp() override
    {
        ServerFixture::SetUp();
        ASSERT_EQ(S_OK, server.As(&common));
    }
    void TearDown() override
    {
        common.Reset();
        ServerFixture::TearDown();
    }
    ComPtr<IOPCCommon> common;
};
}  // namespace

TEST_F(CommonTest, LocalesRoundTripAndOthersAreRefused)
{
    LCID lcid = 1;
    ASSERT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(static_cast<LCID>(LOCALE_SYSTEM_DEFAULT), lcid);  // a new session
    for (LCID wanted : {0x0u, 0x400u, 0x800u, 0x409u}) {
        EXPECT_EQ(S_OK, common->SetLocaleID(wanted));
        ASSERT_EQ(S_OK, common->GetLocaleID(&lcid));
        EXPECT_EQ(wanted, lcid);
    }
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0x407));
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(0xFFFFFFFFu));
    ASSERT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(0x409u, lcid);  // unchanged by the refusals
    EXPECT_EQ(E_INVALIDARG, common->GetLocaleID(nullptr));
}

TEST_F(CommonTest, AvailableLocalesAreTheAcceptedOnes)
{
    DWORD count = 0;
    LCID* list = nullptr;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &list));
    ASSERT_EQ(4u, count);
    std::vector<LCID> got(list, list + count);
    CoTaskMemFree(list);
    for (LCID l : {0x0u, 0x400u, 0x800u, 0x409u})
        EXPECT_NE(got.end(), std::find(got.begin(), got.end(), l)) << l;
    for (LCID l : got)
        EXPECT_EQ(S_OK, common->SetLocaleID(l));
    EXPECT_EQ(E_INVALIDARG, common->QueryAvailableLocaleIDs(nullptr, &list));
    EXPECT_EQ(E_INVALIDARG, common->QueryAvailableLocaleIDs(&count, nullptr));
}

TEST_F(CommonTest, ErrorStringsForEveryOpcCodeAndTheSystemsForTheRest)
{
    // System codes: the system's text, as IOPCServer::GetErrorString gives
    // it for the session's locale. OPC codes: a text of the server's own,
    // which IOPCServer::GetErrorString of this class does not give.
    int systemTexts = 0;
    for (LCID lcid : {0x0u, 0x409u, 0x800u}) {
        ASSERT_EQ(S_OK, common->SetLocaleID(lcid));
        for (HRESULT code : {E_OUTOFMEMORY, E_INVALIDARG, E_FAIL}) {
            LPWSTR a = nullptr, b = nullptr;
            HRESULT hrA = common->GetErrorString(code, &a);
            HRESULT hrB = server->GetErrorString(code, lcid, &b);
            EXPECT_EQ(hrB, hrA) << std::hex << code << " in " << lcid;
            if (hrA == S_OK && hrB == S_OK) {
                EXPECT_STREQ(b, a);
                ++systemTexts;
            }
            CoTaskMemFree(a);
            CoTaskMemFree(b);
        }
        for (HRESULT code : {OPC_E_INVALIDHANDLE, OPC_E_BADTYPE, OPC_E_PUBLIC, OPC_E_BADRIGHTS, OPC_E_UNKNOWNITEMID,
                             OPC_E_INVALIDITEMID, OPC_E_INVALIDFILTER, OPC_E_UNKNOWNPATH, OPC_E_RANGE,
                             OPC_E_DUPLICATENAME, OPC_S_UNSUPPORTEDRATE, OPC_S_CLAMP, OPC_S_INUSE,
                             OPC_E_INVALID_PID, OPC_E_DEADBANDNOTSET, OPC_E_DEADBANDNOTSUPPORTED,
                             OPC_E_NOBUFFERING, OPC_E_INVALIDCONTINUATIONPOINT, OPC_E_RATENOTSET,
                             OPC_E_NOTSUPPORTED, CONNECT_E_NOCONNECTION, CONNECT_E_ADVISELIMIT,
                             CONNECT_E_CANNOTCONNECT}) {
            LPWSTR text = nullptr;
            ASSERT_EQ(S_OK, common->GetErrorString(code, &text)) << std::hex << code;
            ASSERT_NE(nullptr, text);
            EXPECT_GT(wcslen(text), 10u) << std::hex << code;
            CoTaskMemFree(text);
        }
        LPWSTR none = nullptr;
        EXPECT_EQ(E_FAIL, server->GetErrorString(OPC_E_UNKNOWNITEMID, lcid, &none));  // as specified
    }
    EXPECT_GT(systemTexts, 0);  // at least the neutral texts of the system codes
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, common->GetErrorString(OPC_E_UNKNOWNITEMID, &text));
    EXPECT_STREQ(L"The item ID is not defined in the server's address space.", text);
    CoTaskMemFree(text);
    EXPECT_EQ(E_FAIL, common->GetErrorString(static_cast<HRESULT>(0xC0047777), &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(E_INVALIDARG, common->GetErrorString(E_FAIL, nullptr));
}

TEST_F(CommonTest, ClientNameIsKeptPerServerObjectAndTraced)
{
    TraceCapture trace;
    ASSERT_EQ(S_OK, common->SetClientName(L"test client"));
    EXPECT_TRUE(trace.contains(L"client name \"test client\""));
    EXPECT_EQ(L"test client", Srv()->ClientName());
    ComPtr<IOPCServer> other;
    ASSERT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(other.GetAddressOf())));
    EXPECT_EQ(L"", static_cast<COPCServer*>(other.Get())->ClientName());
    EXPECT_EQ(E_INVALIDARG, common->SetClientName(nullptr));
    EXPECT_EQ(L"test client", Srv()->ClientName());
}


TEST_F(CommonTest, ShutdownConnectionPointCallsEverySinkAndDropsDeadOnes)
{
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, server.As(&cpc));
    ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.GetAddressOf()));
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCShutdown, cp.GetAddressOf()));
    ShutdownSinkSpy alive, dead;
    dead.answer = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(S_OK, cp->Advise(&alive, &c1));
    ASSERT_EQ(S_OK, cp->Advise(&dead, &c2));
    Srv()->RequestShutdown(L"maintenance");
    ASSERT_EQ(1u, alive.reasons.size());
    EXPECT_EQ(L"maintenance", alive.reasons[0]);
    EXPECT_EQ(1u, dead.reasons.size());
    EXPECT_EQ(1, dead.refs);  // dropped: its client is gone
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(c2));
    Srv()->RequestShutdown(nullptr);
    ASSERT_EQ(2u, alive.reasons.size());
    EXPECT_EQ(L"", alive.reasons[1]);
    EXPECT_EQ(1u, dead.reasons.size());
    cp.Reset();
    cpc.Reset();
    common.Reset();
    server.Reset();  // the last release lets go of the sinks
    EXPECT_EQ(1, alive.refs);
}
