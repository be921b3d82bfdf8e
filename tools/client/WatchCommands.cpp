// opcda-client: the commands that wait for the server: watch (data changes)
// and async (a transaction and its completion), with what both versions
// share and the 1.0a path through an advise sink and the streams.
#include "client/ItemPrinter.h"
#include "common/StreamImage.h"

#include <cwchar>

namespace opcda_client {

// A sink that decodes the stream blocks it receives and prints item lines.
class PrintingSink : public IAdviseSink, public ItemPrinter {
public:
    PrintingSink(const std::vector<std::wstring>& ids, const Options& o) : ItemPrinter(ids, o) {}
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
            // The blocks come from the 32-bit server: its images, whatever
            // this client's own VARIANT is.
            VARIANT v;
            const HRESULT hr = ReadValueImage(p, available, h.dwValueOffset, &v);
            const std::wstring value = SUCCEEDED(hr) ? ValueText(v, m_o.csv) : L"(" + HResultText(hr) + L")";
            Print(IdOf(h.hClient), value, VarTypeText(v.vt), h.wQuality, withTime ? &h.ftTimeStampItem : nullptr, g.dwTransactionID);
            VariantClear(&v);
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
            PrintWriteResult(g.dwTransactionID, h.hClient, h.dwError);
        }
        m_completions[g.dwTransactionID] = g.dwItemCount;
    }
    LONG m_refs = 1;
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

int PrepareWatch(Session& s, const Options& o, ComPtr<IOPCItemMgt>* mgt)
{
    if (FAILED(s.AddGroup(FALSE, o.rate, o.deadband, mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(mgt->Get(), o.args, TRUE, o.type, &results, &errors)))
        return kCallFailed;
    if (!ReportItemErrors(o.args, errors))
        return kItemErrors;
    if (!o.writes.empty())
        return WriteAssignments(s, mgt->Get(), o.writes);
    return kOk;
}

int WatchUntilDone(IOPCItemMgt* mgt, const Options& o, ItemPrinter& printer, const wchar_t* unit)
{
    if (o.csv)
        wprintf(L"item,value,type,quality,local time,utc time\n");
    ComPtr<IOPCGroupStateMgt> state;
    mgt->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(state.GetAddressOf()));
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
        if (o.count > 0 && printer.m_lines >= o.count)
            break;
        if (o.forSeconds > 0 && GetTickCount() - start >= static_cast<DWORD>(o.forSeconds * 1000))
            break;
    }
    active = FALSE;
    state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    if (!o.csv && !o.live)
        wprintf(L"-- %ld item changes in %ld %ls\n", printer.m_lines.load(), printer.m_blocks.load(), unit);
    return printer.m_lines > 0 ? kOk : kItemErrors;
}

int CmdWatch(Session& s, const Options& o)
{
    if (s.Da2())
        return WatchThroughCallback(s, o);
    ComPtr<IOPCItemMgt> mgt;
    int rc = PrepareWatch(s, o, &mgt);
    if (rc != kOk)
        return rc;
    PrintingSink sink(o.args, o);
    ScopedAdvise advise;
    if (FAILED(advise.Advise(mgt.Get(), o.withTime ? L"OPCSTMFORMATDATATIME" : L"OPCSTMFORMATDATA", &sink)))
        return kCallFailed;
    return WatchUntilDone(mgt.Get(), o, sink, L"blocks");
}

int PrepareAsync(Session& s, const Options& o, AsyncPlan* plan)
{
    if (o.args.empty()) {
        fwprintf(stderr, L"error: async needs read, write, refresh or cancel\n");
        return kUsage;
    }
    plan->op = o.args[0];
    std::vector<std::wstring> rest(o.args.begin() + 1, o.args.end());
    std::vector<std::wstring> texts;
    if (plan->op == L"write") {
        if (!SplitAssignments(rest, &plan->ids, &texts))
            return kUsage;
    } else if (plan->op == L"read" || plan->op == L"refresh" || plan->op == L"cancel") {
        plan->ids = rest;
    } else {
        fwprintf(stderr, L"error: unknown async operation '%ls'\n", plan->op.c_str());
        return kUsage;
    }
    if (FAILED(s.AddGroup(plan->op == L"refresh", 100000, 0, &plan->mgt)))
        return kCallFailed;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    if (FAILED(s.AddItems(plan->mgt.Get(), plan->ids, TRUE, o.type, &results, &errors)))
        return kCallFailed;
    if (!ReportItemErrors(plan->ids, errors))
        return kItemErrors;
    for (size_t i = 0; i < plan->ids.size(); ++i) {
        if (FAILED(errors[i]))
            continue;
        if (plan->op == L"write") {
            VARIANT v;
            if (FAILED(TextToValue(texts[i], results[i].vtCanonicalDataType, &v))) {
                fwprintf(stderr, L"error: %ls: '%ls' is not a %ls value\n", plan->ids[i].c_str(), texts[i].c_str(),
                         VarTypeText(results[i].vtCanonicalDataType).c_str());
                continue;
            }
            plan->values.push_back(v);
        }
        plan->handles.push_back(results[i].hServer);
    }
    return plan->handles.empty() ? kItemErrors : kOk;
}

int WaitForCompletion(ItemPrinter& printer, DWORD tid)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 10000 && !printer.HasCompletion(tid))
        Sleep(10);
    if (!printer.HasCompletion(tid)) {
        fwprintf(stderr, L"error: no completion of transaction %lu within 10 s\n", static_cast<unsigned long>(tid));
        return kCallFailed;
    }
    wprintf(L"transaction %lu completed\n", static_cast<unsigned long>(tid));
    return kOk;
}

int CmdAsync(Session& s, const Options& o)
{
    if (s.Da2())
        return AsyncThroughCallback(s, o);
    AsyncPlan plan;
    int rc = PrepareAsync(s, o, &plan);
    if (rc != kOk)
        return rc;
    const std::wstring& op = plan.op;
    Options printOptions = o;
    printOptions.live = false;
    PrintingSink sink(plan.ids, printOptions);
    ScopedAdvise advise;
    if (FAILED(advise.Advise(plan.mgt.Get(),
                             op == L"write" ? L"OPCSTMFORMATWRITECOMPLETE" : L"OPCSTMFORMATDATATIME", &sink)))
        return kCallFailed;
    const DWORD connection = advise.connection();
    HRESULT hr;
    ComPtr<IOPCAsyncIO> async;
    plan.mgt.As(&async);
    DWORD tid = 0;
    HRESULT* asyncErrors = nullptr;
    const DWORD n = static_cast<DWORD>(plan.handles.size());
    OPCDATASOURCE source = o.device ? OPC_DS_DEVICE : OPC_DS_CACHE;
    if (op == L"read" || op == L"cancel")
        hr = async->Read(connection, source, n, plan.handles.data(), &tid, &asyncErrors);
    else if (op == L"write")
        hr = async->Write(connection, n, plan.handles.data(), plan.values.data(), &tid, &asyncErrors);
    else
        hr = async->Refresh(connection, source, &tid);
    CoTaskMemFree(asyncErrors);
    if (FAILED(hr) || hr == S_FALSE) {
        Fail((L"async " + op).c_str(), hr);
        return kCallFailed;
    }
    wprintf(L"transaction %lu queued\n", static_cast<unsigned long>(tid));
    if (op == L"cancel") {
        hr = async->Cancel(tid);
        if (hr == S_OK) {
            wprintf(L"transaction %lu cancelled\n", static_cast<unsigned long>(tid));  // no completion comes
            return kOk;
        }
        wprintf(L"transaction %lu could not be cancelled any more: %ls\n", static_cast<unsigned long>(tid),
                HResultText(hr).c_str());
    }
    // The completion arrives as a block that carries this transaction's id.
    return WaitForCompletion(sink, tid);
}

}  // namespace opcda_client
