// In-process helpers for the OPC object tests: a server, groups, items, and
// the decoding of stream blocks received by a sink.
#pragma once
#include "common/OPCGlob.h"
#include "common/OpcDefs.h"
#include "core/Cache.h"
#include "opc/OPCGroup.h"
#include "engine/ScanMgr.h"
#include "host/Module.h"
#include "opc/OPCSrvr.h"
#include "opc/OPCItem.h"
#include "AdviseSinkSpy.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

struct DecodedItem {
    OPCHANDLE hClient;
    DWORD offset;
    WORD quality;
    FILETIME time;
    VARTYPE vt;
    double r8;      // VT_R8 value (or I4/UI1/BOOL widened)
    std::wstring str;  // VT_BSTR payload
};

struct DecodedBlock {
    DWORD size, count;
    OPCHANDLE hClientGroup;
    DWORD transactionID;
    HRESULT status;
    std::vector<DecodedItem> items;
};

inline DecodedBlock DecodeDataBlock(const AdviseSinkSpy::Block& b, bool withTime)
{
    DecodedBlock d{};
    const BYTE* p = b.bytes.data();
    memcpy(&d.size, p, 4);
    memcpy(&d.count, p + 4, 4);
    memcpy(&d.hClientGroup, p + 8, 4);
    memcpy(&d.transactionID, p + 12, 4);
    memcpy(&d.status, p + 16, 4);
    const size_t headerSize = withTime ? 20 : 12;
    for (DWORD i = 0; i < d.count; ++i) {
        const BYTE* h = p + 20 + headerSize * i;
        DecodedItem item{};
        memcpy(&item.hClient, h, 4);
        memcpy(&item.offset, h + 4, 4);
        memcpy(&item.quality, h + 8, 2);
        if (withTime)
            memcpy(&item.time, h + 12, 8);
        VARIANT v;
        memcpy(&v, p + item.offset, sizeof(VARIANT));
        item.vt = v.vt;
        switch (v.vt) {
        case VT_R8: item.r8 = v.dblVal; break;
        case VT_R4: item.r8 = v.fltVal; break;
        case VT_I4: item.r8 = v.lVal; break;
        case VT_UI1: item.r8 = v.bVal; break;
        case VT_BOOL: item.r8 = v.boolVal; break;
        case VT_BSTR: {
            DWORD bytes;
            memcpy(&bytes, p + item.offset + 16, 4);
            item.str.assign(reinterpret_cast<const wchar_t*>(p + item.offset + 20), bytes / 2);
            break;
        }
        default: break;
        }
        d.items.push_back(item);
    }
    return d;
}

inline FORMATETC StreamFormat(UINT cf)
{
    return FORMATETC{static_cast<CLIPFORMAT>(cf), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

// A server object made in-process, released at the end of the test.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer,
                                                   reinterpret_cast<void**>(server.GetAddressOf())));
    }
    void TearDown() override
    {
        server.Reset();
        sinks.clear();  // after the groups that may still call them
        // Every object of the scenario is gone: the process lock is back to 0.
        EXPECT_EQ(0, g_module.m_nLockCount);
    }

    // A sink that lives until the server and its groups are gone.
    AdviseSinkSpy& NewSink()
    {
        sinks.emplace_back(new AdviseSinkSpy());
        return *sinks.back();
    }
    std::vector<std::unique_ptr<AdviseSinkSpy>> sinks;

    // Adds a group; returns its state interface.
    ComPtr<IOPCGroupStateMgt> AddGroup(const wchar_t* name, BOOL active = FALSE, DWORD rate = 1000000,
                                       OPCHANDLE hClient = 1, OPCHANDLE* phServer = nullptr)
    {
        ComPtr<IOPCGroupStateMgt> g;
        OPCHANDLE h = 0;
        DWORD revised = 0;
        HRESULT hr = server->AddGroup(name, active, rate, hClient, nullptr, nullptr, 0, &h, &revised,
                                      IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(g.GetAddressOf()));
        EXPECT_EQ(S_OK, hr);
        if (phServer)
            *phServer = h;
        return g;
    }

    static COPCGroup* Impl(IOPCGroupStateMgt* g) { return static_cast<COPCGroup*>(g); }

    // Adds items by ID; returns their server handles (0 for failures).
    std::vector<OPCHANDLE> AddItems(IOPCGroupStateMgt* g, std::vector<std::wstring> ids, BOOL active = TRUE,
                                    VARTYPE vt = VT_EMPTY, std::vector<HRESULT>* errorsOut = nullptr,
                                    OPCHANDLE firstClient = 100)
    {
        ComPtr<IOPCItemMgt> mgt;
        g->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(mgt.GetAddressOf()));
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            defs[i].bActive = active;
            defs[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = vt;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
        std::vector<OPCHANDLE> handles;
        for (size_t i = 0; i < ids.size(); ++i) {
            handles.push_back(results ? results[i].hServer : 0);
            if (errorsOut)
                errorsOut->push_back(errors ? errors[i] : E_FAIL);
        }
        FreeItemResultArray(results ? static_cast<DWORD>(ids.size()) : 0, results);
        CoTaskMemFree(errors);
        return handles;
    }

    // Puts a value into the cache entry of an item, as the device would.
    static void SetCache(COPCGroup* g, OPCHANDLE hServer, double value, WORD quality = OPC_QUALITY_GOOD)
    {
        DWORD device = g->GetItem(hServer)->GetDeviceHandle();
        VARIANT v;
        v.vt = VT_R8;
        v.dblVal = value;
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        CDeviceLockHold lock(g_cache.m_hMutex);
        g_cache.SetEntryValue(device, v, ft, quality);
    }

    static DWORD Advise(IOPCGroupStateMgt* g, AdviseSinkSpy* sink, UINT cf)
    {
        ComPtr<IDataObject> data;
        g->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(data.GetAddressOf()));
        FORMATETC fe = StreamFormat(cf);
        DWORD connection = 0;
        EXPECT_EQ(S_OK, data->DAdvise(&fe, 0, sink, &connection));
        return connection;
    }

    COPCServer* Srv() { return static_cast<COPCServer*>(server.Get()); }

    // An active group with items whose first scan is done; later scans are
    // 1000 s away, so the test drives Update itself.
    ComPtr<IOPCGroupStateMgt> ActiveGroupWithItems(const wchar_t* name, std::vector<std::wstring> ids,
                                                   std::vector<OPCHANDLE>* handles, FLOAT deadband = 0.0f)
    {
        ComPtr<IOPCGroupStateMgt> g = AddGroup(name, FALSE);
        *handles = AddItems(g.Get(), ids);
        DWORD revised;
        BOOL active = TRUE;
        g->SetState(nullptr, &revised, &active, nullptr, &deadband, nullptr, nullptr);
        EXPECT_TRUE(WaitFirstScanOf(g.Get()));
        return g;
    }
    bool WaitFirstScanOf(IOPCGroupStateMgt* g);

    ComPtr<IOPCServer> server;
};

// Waits until the scan thread has made its first scan of a newly activated
// group and put it back with a due time in the future.
inline bool WaitFirstScan(COPCGroup* g, COPCServer* server, DWORD timeoutMs = 5000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (server->ScanMgr()->DueOf(g) > 0)
            return true;
        Sleep(1);
    }
    return false;
}

inline bool ServerFixture::WaitFirstScanOf(IOPCGroupStateMgt* g) { return WaitFirstScan(Impl(g), Srv()); }
