// opcda-client: the commands that wait for the server: watch (data changes
// through an advise sink) and async (a transaction and its completion).
#include "client/Session.h"

#include <atomic>
#include <map>
#include <cwchar>
#include <mutex>

namespace opcda_client {

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

}  // namespace opcda_client
