// opcda-client: subcommands of a plain OPC DA 1.0a client.
#include "client/Commands.h"

#include "client/Format.h"
#include "common/OpcDefs.h"

#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

enum ExitCode { kOk = 0, kItemErrors = 1, kUsage = 2, kNoServer = 3, kCallFailed = 4 };

struct Options {
    std::wstring progId = VANTREL_PROGID;
    bool csv = false;
    bool device = true;
    bool withTime = true;
    bool flat = false;
    bool live = false;
    std::wstring filter;
    DWORD rate = 500;
    float deadband = 0.0f;
    double forSeconds = 0;
    long count = 0;
    VARTYPE type = VT_EMPTY;
    std::vector<std::wstring> writes;  // watch --write ITEM=VALUE, done before watching
    std::vector<std::wstring> args;
};

void Fail(const wchar_t* what, HRESULT hr)
{
    fwprintf(stderr, L"error: %ls failed: %ls\n", what, HResultText(hr).c_str());
}

// The client's view of one server: a connection and the groups it adds.
class Session {
public:
    HRESULT Connect(const std::wstring& progId)
    {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: ProgID %ls is not registered: %ls\n", progId.c_str(), HResultText(hr).c_str());
            return hr;
        }
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                              reinterpret_cast<void**>(server.GetAddressOf()));
        if (FAILED(hr))
            Fail(L"connecting to the server", hr);
        return hr;
    }

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

    ComPtr<IOPCServer> server;
    OPCHANDLE hGroup = 0;
};

// Prints per-item add errors; returns true when at least one item is usable.
bool ReportItemErrors(const std::vector<std::wstring>& ids, const std::vector<HRESULT>& errors)
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

std::wstring Csv(const std::wstring& s)
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

int CmdStatus(Session& s, const Options&)
{
    OPCSERVERSTATUS* status = nullptr;
    HRESULT hr = s.server->GetStatus(&status);
    if (FAILED(hr) || !status) {
        Fail(L"GetStatus", hr);
        return kCallFailed;
    }
    const wchar_t* state = status->dwServerState == OPC_STATUS_RUNNING ? L"running" : L"not running";
    wprintf(L"Vendor:       %ls\n", status->szVendorInfo ? status->szVendorInfo : L"");
    wprintf(L"Version:      %u.%u.%u\n", status->wMajorVersion, status->wMinorVersion, status->wBuildNumber);
    wprintf(L"State:        %ls\n", state);
    wprintf(L"Start time:   %ls (UTC %ls)\n", FileTimeText(status->ftStartTime, true).c_str(),
            FileTimeText(status->ftStartTime, false).c_str());
    wprintf(L"Current time: %ls (UTC %ls)\n", FileTimeText(status->ftCurrentTime, true).c_str(),
            FileTimeText(status->ftCurrentTime, false).c_str());
    wprintf(L"Last update:  %ls\n", FileTimeText(status->ftLastUpdateTime, true).c_str());
    wprintf(L"Groups:       %lu\n", static_cast<unsigned long>(status->dwGroupCount));
    wprintf(L"Band width:   0x%08lX\n", static_cast<unsigned long>(status->dwBandWidth));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    return kOk;
}

std::vector<std::wstring> ListStrings(IEnumString* e)
{
    std::vector<std::wstring> out;
    if (!e)
        return out;
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &s, &fetched) == S_OK && fetched == 1) {
        out.push_back(s);
        CoTaskMemFree(s);
    }
    return out;
}

void PrintTree(IOPCBrowseServerAddressSpace* browse, int depth)
{
    ComPtr<IEnumString> e;
    browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, e.GetAddressOf());
    for (const auto& leaf : ListStrings(e.Get())) {
        LPWSTR id = nullptr;
        browse->GetItemID(const_cast<wchar_t*>(leaf.c_str()), &id);
        wprintf(L"%*ls%ls  (%ls)\n", depth * 2, L"", leaf.c_str(), id ? id : L"?");
        CoTaskMemFree(id);
    }
    browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, e.ReleaseAndGetAddressOf());
    for (const auto& branch : ListStrings(e.Get())) {
        wprintf(L"%*ls%ls/\n", depth * 2, L"", branch.c_str());
        if (SUCCEEDED(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()))) {
            PrintTree(browse, depth + 1);
            browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
        }
    }
}

int CmdBrowse(Session& s, const Options& o)
{
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = s.server.As(&browse);
    if (FAILED(hr)) {
        Fail(L"QueryInterface(IOPCBrowseServerAddressSpace)", hr);
        return kCallFailed;
    }
    if (!o.flat && o.filter.empty()) {
        PrintTree(browse.Get(), 0);
        wprintf(L"(the tree shows the naming pattern: setX stands for any set number 0 to 16777215,\n"
                L" itemY for any name that starts with \"item\")\n");
        return kOk;
    }
    ComPtr<IEnumString> e;
    hr = browse->BrowseOPCItemIDs(OPC_FLAT, o.filter.c_str(), VT_EMPTY, 0, e.GetAddressOf());
    if (FAILED(hr)) {
        Fail(L"BrowseOPCItemIDs", hr);
        return kCallFailed;
    }
    for (const auto& id : ListStrings(e.Get()))
        wprintf(L"%ls\n", id.c_str());
    return kOk;
}

const wchar_t* RightsText(DWORD r)
{
    switch (r & 3) {
    case 1: return L"read";
    case 2: return L"write";
    case 3: return L"read/write";
    default: return L"none";
    }
}

int CmdValidate(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMDEF> defs(o.args.size());
    for (size_t i = 0; i < o.args.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(o.args[i].c_str());
        defs[i].vtRequestedDataType = o.type;
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    HRESULT hr = mgt->ValidateItems(static_cast<DWORD>(defs.size()), defs.data(), FALSE, &r, &e);
    if (FAILED(hr)) {
        Fail(L"ValidateItems", hr);
        return kCallFailed;
    }
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (SUCCEEDED(e[i]))
            wprintf(L"%ls: valid, type %ls, %ls\n", o.args[i].c_str(), VarTypeText(r[i].vtCanonicalDataType).c_str(),
                    RightsText(r[i].dwAccessRights));
        else
            wprintf(L"%ls: %ls\n", o.args[i].c_str(), HResultText(e[i]).c_str());
        CoTaskMemFree(r[i].pBlob);
    }
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    return hr == S_OK ? kOk : kItemErrors;
}

int CmdRead(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt.Get(), o.args, TRUE, o.type, &results, &errors)))
        return kCallFailed;
    bool anyError = !ReportItemErrors(o.args, errors);
    std::vector<OPCHANDLE> handles;
    std::vector<size_t> index;
    for (size_t i = 0; i < o.args.size(); ++i) {
        if (SUCCEEDED(errors[i])) {
            handles.push_back(results[i].hServer);
            index.push_back(i);
        } else {
            anyError = true;
        }
    }
    if (handles.empty())
        return kItemErrors;
    ComPtr<IOPCSyncIO> sync;
    mgt.As(&sync);
    OPCITEMSTATE* states = nullptr;
    HRESULT* readErrors = nullptr;
    HRESULT hr = sync->Read(o.device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(handles.size()),
                            handles.data(), &states, &readErrors);
    if (FAILED(hr)) {
        Fail(L"Read", hr);
        return kCallFailed;
    }
    if (o.csv)
        wprintf(L"item,value,type,quality,local time,utc time\n");
    for (size_t k = 0; k < handles.size(); ++k) {
        const std::wstring& id = o.args[index[k]];
        const OPCITEMSTATE& st = states[k];
        if (FAILED(readErrors[k])) {
            fwprintf(stderr, L"error: %ls: %ls\n", id.c_str(), HResultText(readErrors[k]).c_str());
            anyError = true;
        } else if (o.csv) {
            wprintf(L"%ls,%ls,%ls,%ls,%ls,%ls\n", Csv(id).c_str(), Csv(ValueText(st.vDataValue, true)).c_str(),
                    VarTypeText(st.vDataValue.vt).c_str(), QualityText(st.wQuality).c_str(),
                    FileTimeText(st.ftTimeStamp, true).c_str(), FileTimeText(st.ftTimeStamp, false).c_str());
        } else {
            wprintf(L"%-20ls %-24ls %-5ls %-22ls %ls (UTC %ls)\n", id.c_str(), ValueText(st.vDataValue).c_str(),
                    VarTypeText(st.vDataValue.vt).c_str(), QualityText(st.wQuality).c_str(),
                    FileTimeText(st.ftTimeStamp, true).c_str(), FileTimeText(st.ftTimeStamp, false).c_str());
        }
        VariantClear(&states[k].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(readErrors);
    return anyError ? kItemErrors : kOk;
}

// Splits "ID=VALUE" arguments.
bool SplitAssignments(const std::vector<std::wstring>& args, std::vector<std::wstring>* ids,
                      std::vector<std::wstring>* values)
{
    for (const auto& a : args) {
        size_t eq = a.find(L'=');
        if (eq == std::wstring::npos || eq == 0) {
            fwprintf(stderr, L"error: '%ls' is not ITEM=VALUE\n", a.c_str());
            return false;
        }
        ids->push_back(a.substr(0, eq));
        values->push_back(a.substr(eq + 1));
    }
    return true;
}

// Converts a text to the item's canonical type ("on" and "off" for booleans).
HRESULT TextToValue(const std::wstring& text, VARTYPE vt, VARIANT* out)
{
    VariantInit(out);
    if (vt == VT_BOOL) {
        std::wstring t = text;
        for (auto& c : t)
            c = towlower(c);
        if (t == L"on" || t == L"true" || t == L"1" || t == L"-1") {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_TRUE;
            return S_OK;
        }
        if (t == L"off" || t == L"false" || t == L"0") {
            out->vt = VT_BOOL;
            out->boolVal = VARIANT_FALSE;
            return S_OK;
        }
    }
    if (vt == VT_UI1) {
        const wchar_t* names[4] = {L"sine", L"ramp", L"noise", L"counter"};
        for (BYTE i = 0; i < 4; ++i) {
            if (_wcsicmp(text.c_str(), names[i]) == 0) {
                out->vt = VT_UI1;
                out->bVal = i;
                return S_OK;
            }
        }
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(text.c_str());
    // The invariant locale: "0.5" means one half whatever the user's settings.
    HRESULT hr = VariantChangeTypeEx(out, &source, MAKELCID(LANG_ENGLISH, SORT_DEFAULT), 0, vt);
    VariantClear(&source);
    return hr;
}

// Adds the items of ITEM=VALUE assignments to a group (inactive) and writes
// them. The items stay in the group, so the sets keep their parameters for as
// long as the group lives.
int WriteAssignments(Session& s, IOPCItemMgt* mgt, const std::vector<std::wstring>& assignments)
{
    std::vector<std::wstring> ids, texts;
    if (!SplitAssignments(assignments, &ids, &texts))
        return kUsage;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt, ids, FALSE, VT_EMPTY, &results, &errors)))
        return kCallFailed;
    bool anyError = false;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<size_t> index;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i])) {
            fwprintf(stderr, L"error: %ls: %ls\n", ids[i].c_str(), HResultText(errors[i]).c_str());
            anyError = true;
            continue;
        }
        VARIANT v;
        HRESULT hr = TextToValue(texts[i], results[i].vtCanonicalDataType, &v);
        if (FAILED(hr)) {
            fwprintf(stderr, L"error: %ls: '%ls' is not a %ls value: %ls\n", ids[i].c_str(), texts[i].c_str(),
                     VarTypeText(results[i].vtCanonicalDataType).c_str(), HResultText(hr).c_str());
            anyError = true;
            continue;
        }
        handles.push_back(results[i].hServer);
        values.push_back(v);
        index.push_back(i);
    }
    if (!handles.empty()) {
        ComPtr<IOPCSyncIO> sync;
        mgt->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(sync.GetAddressOf()));
        HRESULT* writeErrors = nullptr;
        HRESULT hr = sync->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), &writeErrors);
        if (FAILED(hr)) {
            Fail(L"Write", hr);
            anyError = true;
        } else {
            for (size_t k = 0; k < handles.size(); ++k) {
                const std::wstring& id = ids[index[k]];
                if (FAILED(writeErrors[k])) {
                    fwprintf(stderr, L"error: %ls: %ls%ls\n", id.c_str(), HResultText(writeErrors[k]).c_str(),
                             writeErrors[k] == E_FAIL ? L" (the item is read-only)" : L"");
                    anyError = true;
                } else {
                    wprintf(L"%ls = %ls: written\n", id.c_str(), ValueText(values[k]).c_str());
                }
            }
            CoTaskMemFree(writeErrors);
        }
        for (auto& v : values)
            VariantClear(&v);
    }
    return anyError ? kItemErrors : kOk;
}

int CmdWrite(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, 1000, 0, &mgt)))
        return kCallFailed;
    return WriteAssignments(s, mgt.Get(), o.args);
}

// A sink that decodes the stream blocks it receives and prints item lines.
class PrintingSink : public IAdviseSink {
public:
    PrintingSink(const std::vector<std::wstring>& ids, const Options& o) : m_ids(ids), m_o(o) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IAdviseSink) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_refs); }
    STDMETHODIMP_(void) OnDataChange(FORMATETC* fe, STGMEDIUM* medium) override
    {
        if (!fe || !medium || medium->tymed != TYMED_HGLOBAL)
            return;
        const BYTE* p = static_cast<const BYTE*>(GlobalLock(medium->hGlobal));
        if (!p)
            return;
        SIZE_T available = GlobalSize(medium->hGlobal);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (fe->cfFormat == RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"))
            DecodeWriteComplete(p, available);
        else
            DecodeData(p, available, fe->cfFormat == RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
        GlobalUnlock(medium->hGlobal);
        ++m_blocks;
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    bool HasCompletion(DWORD tid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_completions.count(tid) != 0;
    }

    std::atomic<long> m_lines{0};
    std::atomic<long> m_blocks{0};

private:
    void DecodeData(const BYTE* p, SIZE_T available, bool withTime)
    {
        if (available < sizeof(OPCGROUPHEADER))
            return;
        OPCGROUPHEADER g;
        memcpy(&g, p, sizeof(g));
        const size_t headerSize = withTime ? sizeof(OPCITEMHEADER1) : sizeof(OPCITEMHEADER2);
        if (sizeof(OPCGROUPHEADER) + headerSize * g.dwItemCount > available)
            return;
        for (DWORD i = 0; i < g.dwItemCount; ++i) {
            OPCITEMHEADER1 h = {};
            memcpy(&h, p + sizeof(OPCGROUPHEADER) + headerSize * i, headerSize);
            if (h.dwValueOffset + sizeof(VARIANT) > available)
                continue;
            VARIANT v;
            memcpy(&v, p + h.dwValueOffset, sizeof(VARIANT));
            std::wstring value;
            if (v.vt == VT_BSTR) {
                DWORD bytes = 0;
                memcpy(&bytes, p + h.dwValueOffset + 16, 4);
                value.assign(reinterpret_cast<const wchar_t*>(p + h.dwValueOffset + 20), bytes / 2);
            } else if ((v.vt & (VT_ARRAY | VT_BYREF)) == 0) {
                value = ValueText(v, m_o.csv);
            } else {
                value = L"(" + VarTypeText(v.vt) + L")";
            }
            const std::wstring& id = h.hClient < m_ids.size() ? m_ids[h.hClient] : std::to_wstring(h.hClient);
            Print(id, value, VarTypeText(v.vt), h.wQuality, withTime ? &h.ftTimeStampItem : nullptr, g.dwTransactionID);
        }
        if (g.dwTransactionID != 0)
            m_completions[g.dwTransactionID] = g.dwItemCount;
    }
    void DecodeWriteComplete(const BYTE* p, SIZE_T available)
    {
        if (available < sizeof(OPCGROUPHEADERWRITE))
            return;
        OPCGROUPHEADERWRITE g;
        memcpy(&g, p, sizeof(g));
        for (DWORD i = 0; i < g.dwItemCount && sizeof(g) + 8 * (i + 1) <= available; ++i) {
            OPCITEMHEADERWRITE h;
            memcpy(&h, p + sizeof(g) + 8 * i, 8);
            const std::wstring& id = h.hClient < m_ids.size() ? m_ids[h.hClient] : std::to_wstring(h.hClient);
            wprintf(L"write complete (transaction %lu): %ls: %ls\n", static_cast<unsigned long>(g.dwTransactionID),
                    id.c_str(), HResultText(h.dwError).c_str());
        }
        m_completions[g.dwTransactionID] = g.dwItemCount;
    }
    void Print(const std::wstring& id, const std::wstring& value, const std::wstring& type, WORD quality,
               const FILETIME* ft, DWORD tid)
    {
        if (m_o.live) {
            m_live[id] = value + L"  " + QualityText(quality) + (ft ? L"  " + FileTimeText(*ft, true) : L"");
            wprintf(L"\x1b[H\x1b[J");
            for (const auto& row : m_live)
                wprintf(L"%-20ls %ls\n", row.first.c_str(), row.second.c_str());
            fflush(stdout);
            ++m_lines;
            return;
        }
        if (m_o.csv) {
            wprintf(L"%ls,%ls,%ls,%ls,%ls,%ls\n", Csv(id).c_str(), Csv(value).c_str(), type.c_str(),
                    QualityText(quality).c_str(), ft ? FileTimeText(*ft, true).c_str() : L"",
                    ft ? FileTimeText(*ft, false).c_str() : L"");
        } else {
            wprintf(L"%ls%-20ls %-24ls %-22ls %ls\n",
                    tid ? (L"[transaction " + std::to_wstring(tid) + L"] ").c_str() : L"", id.c_str(), value.c_str(),
                    QualityText(quality).c_str(), ft ? FileTimeText(*ft, true).c_str() : L"");
        }
        fflush(stdout);
        ++m_lines;
    }

    LONG m_refs = 1;
    std::map<DWORD, DWORD> m_completions;  // transaction id -> item count
    std::vector<std::wstring> m_ids;
    const Options& m_o;
    std::mutex m_mutex;
    std::map<std::wstring, std::wstring> m_live;
};

// An advise connection owned for a scope: unadvised on every path out, so
// that the server never keeps calling a sink that no longer exists.
class ScopedAdvise {
public:
    HRESULT Advise(IOPCItemMgt* mgt, const wchar_t* format, IAdviseSink* sink)
    {
        mgt->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(m_data.GetAddressOf()));
        FORMATETC fe = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(format)), nullptr, DVASPECT_CONTENT, -1,
                        TYMED_HGLOBAL};
        HRESULT hr = m_data ? m_data->DAdvise(&fe, 0, sink, &m_connection) : E_NOINTERFACE;
        if (FAILED(hr)) {
            Fail(L"DAdvise", hr);
            m_connection = 0;
        }
        return hr;
    }
    ~ScopedAdvise()
    {
        if (m_connection)
            m_data->DUnadvise(m_connection);
    }
    DWORD connection() const { return m_connection; }

private:
    ComPtr<IDataObject> m_data;
    DWORD m_connection = 0;
};

int CmdWatch(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(FALSE, o.rate, o.deadband, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt.Get(), o.args, TRUE, o.type, &results, &errors)))
        return kCallFailed;
    if (!ReportItemErrors(o.args, errors))
        return kItemErrors;
    if (!o.writes.empty()) {
        int rc = WriteAssignments(s, mgt.Get(), o.writes);
        if (rc != kOk)
            return rc;
    }
    PrintingSink sink(o.args, o);
    ScopedAdvise advise;
    if (FAILED(advise.Advise(mgt.Get(), o.withTime ? L"OPCSTMFORMATDATATIME" : L"OPCSTMFORMATDATA", &sink)))
        return kCallFailed;
    if (o.csv)
        wprintf(L"item,value,type,quality,local time,utc time\n");
    ComPtr<IOPCGroupStateMgt> state;
    mgt.As(&state);
    BOOL active = TRUE;
    DWORD revised;
    HRESULT hr = state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) {
        Fail(L"SetState", hr);
        return kCallFailed;
    }
    DWORD start = GetTickCount();
    for (;;) {
        Sleep(20);
        if (o.count > 0 && sink.m_lines >= o.count)
            break;
        if (o.forSeconds > 0 && GetTickCount() - start >= static_cast<DWORD>(o.forSeconds * 1000))
            break;
    }
    active = FALSE;
    state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    if (!o.csv && !o.live)
        wprintf(L"-- %ld item changes in %ld blocks\n", sink.m_lines.load(), sink.m_blocks.load());
    return sink.m_lines > 0 ? kOk : kItemErrors;
}

int CmdAsync(Session& s, const Options& o)
{
    if (o.args.empty()) {
        fwprintf(stderr, L"error: async needs read, write or refresh\n");
        return kUsage;
    }
    std::wstring op = o.args[0];
    std::vector<std::wstring> rest(o.args.begin() + 1, o.args.end());
    std::vector<std::wstring> ids, texts;
    if (op == L"write") {
        if (!SplitAssignments(rest, &ids, &texts))
            return kUsage;
    } else if (op == L"read" || op == L"refresh") {
        ids = rest;
    } else {
        fwprintf(stderr, L"error: unknown async operation '%ls'\n", op.c_str());
        return kUsage;
    }
    ComPtr<IOPCItemMgt> mgt;
    if (FAILED(s.AddGroup(op == L"refresh", 100000, 0, &mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt.Get(), ids, TRUE, VT_EMPTY, &results, &errors)))
        return kCallFailed;
    if (!ReportItemErrors(ids, errors))
        return kItemErrors;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (FAILED(errors[i]))
            continue;
        if (op == L"write") {
            VARIANT v;
            if (FAILED(TextToValue(texts[i], results[i].vtCanonicalDataType, &v))) {
                fwprintf(stderr, L"error: %ls: '%ls' is not a %ls value\n", ids[i].c_str(), texts[i].c_str(),
                         VarTypeText(results[i].vtCanonicalDataType).c_str());
                continue;
            }
            values.push_back(v);
        }
        handles.push_back(results[i].hServer);
    }
    if (handles.empty())
        return kItemErrors;
    Options printOptions = o;
    printOptions.live = false;
    PrintingSink sink(ids, printOptions);
    ScopedAdvise advise;
    if (FAILED(advise.Advise(mgt.Get(), op == L"write" ? L"OPCSTMFORMATWRITECOMPLETE" : L"OPCSTMFORMATDATATIME",
                             &sink)))
        return kCallFailed;
    const DWORD connection = advise.connection();
    HRESULT hr;
    ComPtr<IOPCAsyncIO> async;
    mgt.As(&async);
    DWORD tid = 0;
    HRESULT* asyncErrors = nullptr;
    OPCDATASOURCE source = o.device ? OPC_DS_DEVICE : OPC_DS_CACHE;
    if (op == L"read")
        hr = async->Read(connection, source, static_cast<DWORD>(handles.size()), handles.data(), &tid, &asyncErrors);
    else if (op == L"write")
        hr = async->Write(connection, static_cast<DWORD>(handles.size()), handles.data(), values.data(), &tid,
                          &asyncErrors);
    else
        hr = async->Refresh(connection, source, &tid);
    CoTaskMemFree(asyncErrors);
    for (auto& v : values)
        VariantClear(&v);
    if (FAILED(hr) || hr == S_FALSE) {
        Fail((L"async " + op).c_str(), hr);
        return kCallFailed;
    }
    wprintf(L"transaction %lu queued\n", static_cast<unsigned long>(tid));
    DWORD start = GetTickCount();
    // The completion arrives as a block that carries this transaction's id.
    while (GetTickCount() - start < 10000 && !sink.HasCompletion(tid))
        Sleep(10);
    if (!sink.HasCompletion(tid)) {
        fwprintf(stderr, L"error: no completion of transaction %lu within 10 s\n", static_cast<unsigned long>(tid));
        return kCallFailed;
    }
    wprintf(L"transaction %lu completed\n", static_cast<unsigned long>(tid));
    return kOk;
}

struct Command {
    const wchar_t* name;
    int (*run)(Session&, const Options&);
    const wchar_t* usage;
    bool needsArgs;
};

const Command kCommands[] = {
    {L"status", CmdStatus, L"status\n  Prints the server's status.", false},
    {L"browse", CmdBrowse,
     L"browse [--flat] [--filter PATTERN]\n  Prints the address-space tree, or the flat item IDs that match\n"
     L"  PATTERN (? any character, # a digit, * anything, [a-f] [!a-f] lists).",
     false},
    {L"validate", CmdValidate,
     L"validate [--type VT] ITEM...\n  Checks item IDs and prints their canonical type and access rights.", true},
    {L"read", CmdRead,
     L"read [--cache|--device] [--type VT] [--csv] ITEM...\n  Reads items once (from the device by default): value, type,"
     L"\n  quality and time stamp in local time and UTC.",
     true},
    {L"write", CmdWrite,
     L"write ITEM=VALUE...\n  Writes parameters; values take the item's canonical type\n"
     L"  (on/off for .on, Sine/Ramp/Noise/Counter or 0-3 for .fct, numbers for .period and .t0).",
     true},
    {L"watch", CmdWatch,
     L"watch [--rate MS] [--deadband PCT] [--no-time] [--type VT] [--for SECONDS] [--count N] [--csv] [--live]\n"
     L"      [--write ITEM=VALUE]... ITEM...\n"
     L"  Adds an active group, advises for data changes and prints one line per item change.\n"
     L"  --write sets parameters first, in the same group (a set keeps its parameters only\n"
     L"  while some item uses it, so writes from another client process are gone by then).",
     true},
    {L"async", CmdAsync,
     L"async read|refresh [--cache|--device] ITEM...\nasync write ITEM=VALUE...\n"
     L"  Starts an asynchronous operation and prints its completion.",
     true},
};

void Usage(FILE* out)
{
    fwprintf(out, L"usage: opcda-client [--progid PROGID] COMMAND [options] [ITEM...]\n\ncommands:\n");
    for (const Command& c : kCommands)
        fwprintf(out, L"  %ls\n", c.name);
    fwprintf(out, L"\nRun 'opcda-client COMMAND --help' for a command's options.\n"
                  L"Exit codes: 0 ok, 1 some item failed, 2 usage, 3 no server, 4 a call failed.\n");
}

}  // namespace

int RunClient(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    setvbuf(stderr, nullptr, _IONBF, 0);
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--progid" && i + 1 < argc)
            o.progId = argv[++i];
        else if (a == L"--help" || a == L"-h") {
            Usage(stdout);
            return kOk;
        } else
            break;
    }
    if (i >= argc) {
        Usage(stderr);
        return kUsage;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (wcscmp(c.name, argv[i]) == 0)
            command = &c;
    }
    if (!command) {
        fwprintf(stderr, L"error: unknown command '%ls'\n", argv[i]);
        Usage(stderr);
        return kUsage;
    }
    for (++i; i < argc; ++i) {
        std::wstring a = argv[i];
        auto value = [&](const wchar_t* what) -> const wchar_t* {
            if (i + 1 >= argc) {
                fwprintf(stderr, L"error: %ls needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == L"--help" || a == L"-h") {
            wprintf(L"usage: opcda-client %ls\n", command->usage);
            return kOk;
        } else if (a == L"--csv") {
            o.csv = true;
        } else if (a == L"--cache") {
            o.device = false;
        } else if (a == L"--device") {
            o.device = true;
        } else if (a == L"--no-time") {
            o.withTime = false;
        } else if (a == L"--flat") {
            o.flat = true;
        } else if (a == L"--live") {
            o.live = true;
        } else if (a == L"--filter" || a == L"--rate" || a == L"--deadband" || a == L"--for" || a == L"--count" ||
                   a == L"--type" || a == L"--write") {
            const wchar_t* v = value(a.c_str());
            if (!v)
                return kUsage;
            if (a == L"--filter")
                o.filter = v;
            else if (a == L"--write")
                o.writes.push_back(v);
            else if (a == L"--rate")
                o.rate = wcstoul(v, nullptr, 10);
            else if (a == L"--deadband")
                o.deadband = static_cast<float>(wcstod(v, nullptr));
            else if (a == L"--for")
                o.forSeconds = wcstod(v, nullptr);
            else if (a == L"--count")
                o.count = wcstol(v, nullptr, 10);
            else if (!ParseVarType(v, &o.type)) {
                fwprintf(stderr, L"error: unknown type '%ls'\n", v);
                return kUsage;
            }
        } else if (a.size() > 2 && a.compare(0, 2, L"--") == 0) {
            fwprintf(stderr, L"error: unknown option '%ls'\n", a.c_str());
            return kUsage;
        } else {
            o.args.push_back(a);
        }
    }
    if (command->needsArgs && o.args.empty()) {
        fwprintf(stderr, L"usage: opcda-client %ls\n", command->usage);
        return kUsage;
    }
    if (command->run == CmdWatch && o.forSeconds <= 0 && o.count <= 0)
        o.forSeconds = 1e9;  // until the process is ended

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        Fail(L"CoInitializeEx", hr);
        return kCallFailed;
    }
    int rc;
    {
        Session session;
        if (FAILED(session.Connect(o.progId)))
            rc = kNoServer;
        else
            rc = command->run(session, o);
    }
    CoUninitialize();
    return rc;
}
