// opcda-client: what the subcommands share: options, exit codes, the
// session with the server, and the helpers more than one command uses.
#pragma once
#include "client/Format.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

namespace opcda_client {

using Microsoft::WRL::ComPtr;

enum ExitCode { kOk = 0, kItemErrors = 1, kUsage = 2, kNoServer = 3, kCallFailed = 4 };

struct Options {
    std::wstring progId = VANTREL_PROGID;
    bool csv = false;
    bool device = true;
    bool withTime = true;
    bool flat = false;
    bool live = false;
    bool da1 = false;  // the 1.0a interfaces even where the server offers 2.0
    bool da2 = false;  // no DA 3.0 interfaces even where the server offers them
    DWORD maxElements = 0;   // browse --max: elements per Browse call (0: all)
    bool maxAgeSet = false;  // read --max-age
    DWORD maxAge = 0;
    bool vqt = false;         // write --vqt
    bool qualitySet = false;  // write --vqt --quality Q
    WORD quality = 0;
    DWORD keepAlive = 0;  // watch --keep-alive MS
    std::wstring filter;
    DWORD rate = 500;
    float deadband = 0.0f;
    double forSeconds = 0;
    long count = 0;
    VARTYPE type = VT_EMPTY;
    std::vector<std::wstring> writes;  // watch --write ITEM=VALUE, done before watching
    std::vector<std::wstring> args;
};

inline void Fail(const wchar_t* what, HRESULT hr)
{
    fwprintf(stderr, L"error: %ls failed: %ls\n", what, HResultText(hr).c_str());
}

// The client's view of one server: a connection and the groups it adds.
class Session {
public:
    // Connects; unless da1, the session speaks DA 2.0 where the server
    // offers IOPCCommon, and gives the server its client name; unless da2
    // too, DA 3.0 where it offers IOPCBrowse and IOPCItemIO.
    HRESULT Connect(const std::wstring& progId, bool da1, bool da2)
    {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: ProgID %ls is not registered: %ls\n", progId.c_str(), HResultText(hr).c_str());
            return hr;
        }
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                              reinterpret_cast<void**>(server.GetAddressOf()));
        if (FAILED(hr)) {
            Fail(L"connecting to the server", hr);
            return hr;
        }
        if (!da1 && SUCCEEDED(server.As(&common)) && FAILED(common->SetClientName(kClientName)))
            common.Reset();
        if (Da2() && !da2 && (FAILED(server.As(&browse3)) || FAILED(server.As(&itemIO)))) {
            browse3.Reset();
            itemIO.Reset();
        }
        return S_OK;
    }
    bool Da2() const { return common != nullptr; }
    bool Da3() const { return browse3 != nullptr && itemIO != nullptr; }

    HRESULT AddGroup(BOOL active, DWORD rate, float deadband, ComPtr<IOPCItemMgt>* mgt)
    {
        DWORD revised = 0;
        HRESULT hr = server->AddGroup(L"", active, rate, 1, nullptr, &deadband, 0, &hGroup, &revised,
                                      IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt->GetAddressOf()));
        if (FAILED(hr))
            Fail(L"AddGroup", hr);
        return hr;
    }

    // Adds the items; returns per-item results and errors.
    HRESULT AddItems(IOPCItemMgt* mgt, const std::vector<std::wstring>& ids, BOOL active, VARTYPE vt,
                     std::vector<OPCITEMRESULT>* results, std::vector<HRESULT>* errors)
    {
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            defs[i] = OPCITEMDEF{};
            defs[i].szAccessPath = const_cast<wchar_t*>(L"");
            defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
            defs[i].bActive = active;
            defs[i].hClient = static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = vt;
        }
        OPCITEMRESULT* r = nullptr;
        HRESULT* e = nullptr;
        HRESULT hr = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &r, &e);
        if (FAILED(hr)) {
            Fail(L"AddItems", hr);
            return hr;
        }
        results->assign(r, r + ids.size());
        errors->assign(e, e + ids.size());
        for (size_t i = 0; i < ids.size(); ++i)
            CoTaskMemFree(r[i].pBlob);
        CoTaskMemFree(r);
        CoTaskMemFree(e);
        return hr;
    }

    ~Session()
    {
        if (server && hGroup)
            server->RemoveGroup(hGroup, TRUE);
    }

    static constexpr const wchar_t* kClientName = L"opcda-client";
    ComPtr<IOPCServer> server;
    ComPtr<IOPCCommon> common;  // DA 2.0 sessions only
    ComPtr<IOPCBrowse> browse3;  // DA 3.0 sessions only
    ComPtr<IOPCItemIO> itemIO;   // DA 3.0 sessions only
    OPCHANDLE hGroup = 0;
};

// Prints per-item add errors; returns true when at least one item is usable.
inline bool ReportItemErrors(const std::vector<std::wstring>& ids, const std::vector<HRESULT>& errors)
{
    bool any = false;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i]))
            fwprintf(stderr, L"error: %ls: %ls\n", ids[i].c_str(), HResultText(errors[i]).c_str());
        else
            any = true;
    }
    return any;
}

inline std::wstring Csv(const std::wstring& s)
{
    if (s.find_first_of(L",\"\n") == std::wstring::npos)
        return s;
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c == L'"')
            out += L'"';
        out += c;
    }
    return out + L"\"";
}

// Item assignments ITEM=VALUE: split, converted, written (OneShotCommands.cpp).
bool SplitAssignments(const std::vector<std::wstring>& args, std::vector<std::wstring>* ids,
                      std::vector<std::wstring>* texts);
HRESULT TextToValue(const std::wstring& text, VARTYPE vt, VARIANT* out);
int WriteAssignments(Session& s, IOPCItemMgt* mgt, const std::vector<std::wstring>& assignments);

// The subcommands.
int CmdStatus(Session& s, const Options& o);
// Needs no session: lists the servers through the OPC server list.
int CmdServers(const Options& o);
int CmdBrowse(Session& s, const Options& o);
int CmdValidate(Session& s, const Options& o);
int CmdRead(Session& s, const Options& o);
int CmdWrite(Session& s, const Options& o);
int CmdWatch(Session& s, const Options& o);  // WatchCommands.cpp
int CmdAsync(Session& s, const Options& o);
int CmdProperties(Session& s, const Options& o);  // OneShotCommands.cpp

// The DA 3.0 paths (Da3Commands.cpp).
int BrowseThroughIOPCBrowse(Session& s, const Options& o);
int PropertiesThroughIOPCBrowse(Session& s, const Options& o);
int ReadThroughItemIO(Session& s, const Options& o);
int WriteThroughItemIO(Session& s, const Options& o);

}  // namespace opcda_client
