// The whole data path across processes: groups, items, data changes at the
// update rate, synchronous and asynchronous I/O, forced removal, browsing.
#include "common/OpcDefs.h"
#include "AdviseSinkSpy.h"
#include "E2eUtil.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {
struct Item {
    OPCHANDLE hClient;
    DWORD offset;
    WORD quality;
    ULONGLONG time;
    VARIANT value;
};

struct Block {
    DWORD size, count, transactionID;
    OPCHANDLE hClientGroup;
    std::vector<Item> items;
};

Block Decode(const AdviseSinkSpy::Block& raw)
{
    Block b{};
    const BYTE* p = raw.bytes.data();
    memcpy(&b.size, p, 4);
    memcpy(&b.count, p + 4, 4);
    memcpy(&b.hClientGroup, p + 8, 4);
    memcpy(&b.transactionID, p + 12, 4);
    for (DWORD i = 0; i < b.count; ++i) {
        Item it{};
        const BYTE* h = p + 20 + 20 * i;
        memcpy(&it.hClient, h, 4);
        memcpy(&it.offset, h + 4, 4);
        memcpy(&it.quality, h + 8, 2);
        memcpy(&it.time, h + 12, 8);
        memcpy(&it.value, p + it.offset, sizeof(VARIANT));
        b.items.push_back(it);
    }
    return b;
}

bool WaitBlocks(AdviseSinkSpy& sink, size_t n, DWORD timeoutMs = 10000)
{
    DWORD start = GetTickCount();
    while (sink.count() < n) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(5);
    }
    return true;
}

VARIANT Var(VARTYPE vt, double d)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    VariantChangeType(&v, &v, 0, vt);
    return v;
}

class DataPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(e2e::WaitNoServer());
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                         reinterpret_cast<void**>(server.GetAddressOf())));
        process = e2e::OpenServerProcess();
        ASSERT_NE(nullptr, process);
    }
    void TearDown() override
    {
        server.Reset();
        if (process) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 10000));
            DWORD code = 1234;
            GetExitCodeProcess(process, &code);
            EXPECT_EQ(0u, code);
            CloseHandle(process);
        }
    }

    ComPtr<IOPCServer> server;
    HANDLE process = nullptr;
};
}  // namespace

TEST_F(DataPath, DataChangesSyncAndAsyncIoAndForcedRemoval)
{
    AdviseSinkSpy sink, writeSink;
    {
        ComPtr<IOPCItemMgt> mgt;
        OPCHANDLE hGroup = 0;
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server->AddGroup(L"e2e", TRUE, 100, 55, nullptr, nullptr, 0, &hGroup, &revised,
                                         IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
        EXPECT_EQ(100u, revised);
        const wchar_t* ids[4] = {L"set701.item", L"set701.on", L"set701.fct", L"set701.period"};
        OPCITEMDEF defs[4] = {};
        for (int i = 0; i < 4; ++i) {
            defs[i].szItemID = const_cast<wchar_t*>(ids[i]);
            defs[i].bActive = i == 0;  // only the value is watched
            defs[i].hClient = 10 + i;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, mgt->AddItems(4, defs, &results, &errors));
        OPCHANDLE h[4];
        for (int i = 0; i < 4; ++i)
            h[i] = results[i].hServer;
        EXPECT_EQ(VT_R8, results[0].vtCanonicalDataType);
        EXPECT_EQ(VT_BOOL, results[1].vtCanonicalDataType);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);

        // Switch the set to a running Ramp with synchronous writes.
        ComPtr<IOPCSyncIO> sync;
        ASSERT_EQ(S_OK, mgt.As(&sync));
        VARIANT values[3] = {Var(VT_BOOL, -1), Var(VT_UI1, 1), Var(VT_R8, 1000)};
        ASSERT_EQ(S_OK, sync->Write(3, &h[1], values, &errors));
        CoTaskMemFree(errors);
        OPCITEMSTATE* states = nullptr;
        ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, 4, h, &states, &errors));
        EXPECT_EQ(VARIANT_TRUE, states[1].vDataValue.boolVal);
        EXPECT_EQ(1, states[2].vDataValue.bVal);
        EXPECT_DOUBLE_EQ(1000.0, states[3].vDataValue.dblVal);
        EXPECT_EQ(OPC_QUALITY_GOOD, states[0].wQuality);
        for (int i = 0; i < 4; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);

        // Data changes with time stamps at the update rate.
        ComPtr<IDataObject> data;
        ASSERT_EQ(S_OK, mgt.As(&data));
        FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                        DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD cData = 0;
        ASSERT_EQ(S_OK, data->DAdvise(&fe, 0, &sink, &cData));
        ASSERT_TRUE(WaitBlocks(sink, 8));
        {
            std::lock_guard<std::mutex> lock(sink.mutex);
            ULONGLONG lastTime = 0;
            double lastValue = -2;
            int rising = 0;
            for (size_t i = 1; i < sink.blocks.size(); ++i) {
                Block b = Decode(sink.blocks[i]);
                ASSERT_EQ(1u, b.count);
                EXPECT_EQ(55u, b.hClientGroup);
                EXPECT_EQ(0u, b.transactionID);
                EXPECT_EQ(56u, b.size);
                EXPECT_EQ(10u, b.items[0].hClient);
                EXPECT_EQ(40u, b.items[0].offset);
                EXPECT_EQ(OPC_QUALITY_GOOD, b.items[0].quality);
                EXPECT_GT(b.items[0].time, lastTime);
                ASSERT_EQ(VT_R8, b.items[0].value.vt);
                double v = b.items[0].value.dblVal;
                EXPECT_GE(v, -1.0);
                EXPECT_LT(v, 1.0);
                if (v > lastValue)
                    ++rising;
                lastTime = b.items[0].time;
                lastValue = v;
            }
            EXPECT_GE(rising, 4);  // a 1 s ramp sampled every 100 ms mostly rises
        }

        // Asynchronous read, write, refresh and cancel.
        ComPtr<IOPCAsyncIO> async;
        ASSERT_EQ(S_OK, mgt.As(&async));
        FORMATETC wfe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")), nullptr,
                         DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD cWrite = 0;
        ASSERT_EQ(S_OK, data->DAdvise(&wfe, 0, &writeSink, &cWrite));
        DWORD tid = 0;
        VARIANT period = Var(VT_R8, 2000);
        ASSERT_EQ(S_OK, async->Write(cWrite, 1, &h[3], &period, &tid, &errors));
        CoTaskMemFree(errors);
        EXPECT_NE(0u, tid);
        ASSERT_TRUE(WaitBlocks(writeSink, 1));
        {
            std::lock_guard<std::mutex> lock(writeSink.mutex);
            const BYTE* p = writeSink.blocks[0].bytes.data();
            DWORD count, wtid, hClient;
            HRESULT err;
            memcpy(&count, p, 4);
            memcpy(&wtid, p + 8, 4);
            memcpy(&hClient, p + 16, 4);
            memcpy(&err, p + 20, 4);
            EXPECT_EQ(1u, count);
            EXPECT_EQ(tid, wtid);
            EXPECT_EQ(13u, hClient);
            EXPECT_EQ(S_OK, err);
        }
        size_t before = sink.count();
        DWORD readTid = 0;
        ASSERT_EQ(S_OK, async->Read(cData, OPC_DS_DEVICE, 1, &h[3], &readTid, &errors));
        CoTaskMemFree(errors);
        DWORD refreshTid = 0;
        ASSERT_EQ(S_OK, async->Refresh(cData, OPC_DS_CACHE, &refreshTid));
        EXPECT_GT(refreshTid, readTid);
        // Wait for both completions among the data changes.
        bool sawRead = false, sawRefresh = false;
        DWORD start = GetTickCount();
        while ((!sawRead || !sawRefresh) && GetTickCount() - start < 10000) {
            Sleep(20);
            std::lock_guard<std::mutex> lock(sink.mutex);
            for (size_t i = before; i < sink.blocks.size(); ++i) {
                Block b = Decode(sink.blocks[i]);
                if (b.transactionID == readTid) {
                    sawRead = true;
                    EXPECT_EQ(13u, b.items[0].hClient);
                    EXPECT_DOUBLE_EQ(2000.0, b.items[0].value.dblVal);
                }
                if (b.transactionID == refreshTid)
                    sawRefresh = true;
            }
        }
        EXPECT_TRUE(sawRead);
        EXPECT_TRUE(sawRefresh);
        EXPECT_EQ(E_FAIL, async->Cancel(readTid));  // already carried out

        // Forced removal while data flows: the client's references are cut.
        ASSERT_EQ(S_OK, server->RemoveGroup(hGroup, TRUE));
        DWORD count = 0;
        HRESULT hr = sync->Read(OPC_DS_CACHE, 1, h, &states, &errors);
        EXPECT_TRUE(FAILED(hr));
        // The platform's disconnection code (Wine: the interface is no
        // longer known; Windows: disconnected), not E_FAIL.
        EXPECT_TRUE(hr == static_cast<HRESULT>(0x800706B5) || hr == RPC_E_DISCONNECTED) << std::hex << hr;
        (void)count;
    }
    // The group's proxies are gone; the server goes with the last reference
    // (checked in TearDown).
}

TEST_F(DataPath, BrowseTheWholeSpaceThroughTheProxy)
{
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(&browse));
    OPCNAMESPACETYPE ns;
    ASSERT_EQ(S_OK, browse->QueryOrganization(&ns));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, ns);
    ComPtr<IEnumString> e;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, e.GetAddressOf()));
    std::vector<std::wstring> ids;
    LPOLESTR s[8];
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(8, s, &fetched));
    for (ULONG i = 0; i < fetched; ++i) {
        ids.push_back(s[i]);
        CoTaskMemFree(s[i]);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"setX.T0", L"setX.fct", L"setX.itemY", L"setX.on", L"setX.period"}), ids);
    LPWSTR id = nullptr;
    for (const std::wstring& name : ids) {  // clients keep the names that have an item ID
        ASSERT_EQ(S_OK, browse->GetItemID(const_cast<wchar_t*>(name.c_str()), &id)) << name.c_str();
        EXPECT_EQ(name, id);
        CoTaskMemFree(id);
    }
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"setX"));
    ASSERT_EQ(S_OK, browse->GetItemID(const_cast<wchar_t*>(L"period"), &id));
    EXPECT_STREQ(L"setX.period", id);
    CoTaskMemFree(id);
    ComPtr<IEnumString> paths;
    ASSERT_EQ(S_OK, browse->BrowseAccessPaths(L"setX.on", paths.GetAddressOf()));
    ASSERT_EQ(S_OK, paths->Next(1, s, nullptr));
    EXPECT_STREQ(L"setX", s[0]);
    CoTaskMemFree(s[0]);
}

TEST_F(DataPath, GroupEnumeratorsAndItemAttributesThroughTheProxy)
{
    ComPtr<IOPCItemMgt> mgt;
    OPCHANDLE hGroup;
    DWORD revised;
    // The name is a ref string on the wire: "" asks for a generated name.
    ASSERT_EQ(S_OK, server->AddGroup(L"", FALSE, 0, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                                     reinterpret_cast<IUnknown**>(mgt.GetAddressOf())));
    OPCITEMDEF defs[2] = {};
    defs[0].szItemID = const_cast<wchar_t*>(L"set711.fct");
    defs[0].szAccessPath = const_cast<wchar_t*>(L"path");
    defs[1].szItemID = const_cast<wchar_t*>(L"set711.item");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, mgt->AddItems(2, defs, &results, &errors));
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IEnumOPCItemAttributes> attrs;
    ASSERT_EQ(S_OK, mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(attrs.GetAddressOf())));
    OPCITEMATTRIBUTES* a = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(S_OK, attrs->Next(2, &a, &fetched));  // two VARIANT-carrying records in one array
    ASSERT_EQ(2u, fetched);
    EXPECT_STREQ(L"set711.fct", a[0].szItemID);
    EXPECT_STREQ(L"path", a[0].szAccessPath);
    EXPECT_EQ(VT_ARRAY | VT_BSTR, a[0].vEUInfo.vt);
    EXPECT_EQ(VT_ARRAY | VT_R8, a[1].vEUInfo.vt);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(a[i].szItemID);
        CoTaskMemFree(a[i].szAccessPath);
        VariantClear(&a[i].vEUInfo);
    }
    CoTaskMemFree(a);

    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<IUnknown**>(names.GetAddressOf())));
    LPOLESTR name = nullptr;
    ASSERT_EQ(S_OK, names->Next(1, &name, nullptr));
    EXPECT_EQ(0, wcsncmp(name, L"$Group_", 7));
    CoTaskMemFree(name);
}
