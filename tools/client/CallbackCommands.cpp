// opcda-client: the DA 2.0 paths of watch and async: data changes and
// completions through an IOPCDataCallback on the group's connection point,
// transactions through IOPCAsyncIO2.
#include "client/ItemPrinter.h"

#include <ocidl.h>
#include <set>

namespace opcda_client {
namespace {

// A callback that prints the items of every call it receives.
class CallbackSink : public IOPCDataCallback, public ItemPrinter {
public:
    CallbackSink(const std::vector<std::wstring>& ids, const Options& o) : ItemPrinter(ids, o) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_refs); }
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                              HRESULT* pErrors) override
    {
        if (dwTransid == 0 && dwCount == 0) {  // nothing changed for the keep-alive time
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_o.csv && !m_o.live) {
                SYSTEMTIME now;
                GetLocalTime(&now);
                wprintf(L"keep-alive %02u:%02u:%02u.%03u\n", now.wHour, now.wMinute, now.wSecond,
                        now.wMilliseconds);
                fflush(stdout);
            }
            ++m_keepAlives;
            return S_OK;
        }
        PrintItems(dwTransid, dwCount, phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
        return S_OK;
    }
    std::atomic<long> m_keepAlives{0};
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                                OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override
    {
        PrintItems(dwTransid, dwCount, phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE, HRESULT, DWORD dwCount, OPCHANDLE* pClienthandles,
                                 HRESULT* pErrors) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (DWORD i = 0; i < dwCount; ++i)
            PrintWriteResult(dwTransid, pClienthandles[i], pErrors[i]);
        m_completions[dwTransid] = dwCount;
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        wprintf(L"transaction %lu cancelled\n", static_cast<unsigned long>(dwTransid));
        m_completions[dwTransid] = 0;
        m_cancelled.insert(dwTransid);
        return S_OK;
    }
    bool WasCancelled(DWORD tid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cancelled.count(tid) != 0;
    }

private:
    void PrintItems(DWORD tid, DWORD n, const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities,
                    const FILETIME* times, const HRESULT* errors)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (DWORD i = 0; i < n; ++i) {
            if (FAILED(errors[i])) {
                fwprintf(stderr, L"error: %ls: %ls\n", IdOf(clients[i]).c_str(), HResultText(errors[i]).c_str());
                continue;
            }
            Print(IdOf(clients[i]), ValueText(values[i], m_o.csv), VarTypeText(values[i].vt), qualities[i],
                  m_o.withTime ? &times[i] : nullptr, tid);
        }
        ++m_blocks;
        if (tid != 0)
            m_completions[tid] = n;
    }

    LONG m_refs = 1;
    std::set<DWORD> m_cancelled;
};

// A connection to the group's IOPCDataCallback point owned for a scope.
class ScopedCallback {
public:
    HRESULT Advise(IOPCItemMgt* mgt, IOPCDataCallback* sink)
    {
        ComPtr<IConnectionPointContainer> cpc;
        HRESULT hr = mgt->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, m_point.GetAddressOf());
        if (SUCCEEDED(hr))
            hr = m_point->Advise(sink, &m_cookie);
        if (FAILED(hr)) {
            Fail(L"Advise(IOPCDataCallback)", hr);
            m_cookie = 0;
        }
        return hr;
    }
    ~ScopedCallback()
    {
        if (m_cookie)
            m_point->Unadvise(m_cookie);
    }

private:
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

// The client's transaction ID of the one operation async starts.
const DWORD kTransactionID = 1;

}  // namespace

int WatchThroughCallback(Session& s, const Options& o)
{
    ComPtr<IOPCItemMgt> mgt;
    int rc = PrepareWatch(s, o, &mgt);
    if (rc != kOk)
        return rc;
    if (o.keepAlive) {
        ComPtr<IOPCGroupStateMgt2> state;
        DWORD revised = 0;
        HRESULT hr = mgt.As(&state);
        if (SUCCEEDED(hr))
            hr = state->SetKeepAlive(o.keepAlive, &revised);
        if (FAILED(hr)) {
            Fail(L"SetKeepAlive (IOPCGroupStateMgt2, OPC DA 3.0)", hr);
            return kCallFailed;
        }
        if (!o.csv && !o.live)
            wprintf(L"keep-alive: requested %lu ms, revised %lu ms\n", static_cast<unsigned long>(o.keepAlive),
                    static_cast<unsigned long>(revised));
    }
    CallbackSink sink(o.args, o);
    ScopedCallback connection;
    if (FAILED(connection.Advise(mgt.Get(), &sink)))
        return kCallFailed;
    rc = WatchUntilDone(mgt.Get(), o, sink, L"callbacks");
    if (o.keepAlive && !o.csv && !o.live)
        wprintf(L"-- %ld keep-alive callbacks\n", sink.m_keepAlives.load());
    return rc == kItemErrors && sink.m_keepAlives > 0 ? kOk : rc;
}

int AsyncThroughCallback(Session& s, const Options& o)
{
    AsyncPlan plan;
    int rc = PrepareAsync(s, o, &plan);
    if (rc != kOk)
        return rc;
    Options printOptions = o;
    printOptions.live = false;
    CallbackSink sink(plan.ids, printOptions);
    ScopedCallback connection;
    if (FAILED(connection.Advise(plan.mgt.Get(), &sink)))
        return kCallFailed;
    ComPtr<IOPCAsyncIO2> io;
    HRESULT hr = plan.mgt.As(&io);
    if (FAILED(hr)) {
        Fail(L"QueryInterface(IOPCAsyncIO2)", hr);
        return kCallFailed;
    }
    const std::wstring& op = plan.op;
    const DWORD n = static_cast<DWORD>(plan.handles.size());
    DWORD cancelID = 0;
    HRESULT* errors = nullptr;
    if (op == L"read" || op == L"cancel")
        hr = io->Read(n, plan.handles.data(), kTransactionID, &cancelID, &errors);
    else if (op == L"write")
        hr = io->Write(n, plan.handles.data(), plan.values.data(), kTransactionID, &cancelID, &errors);
    else
        hr = io->Refresh2(o.device ? OPC_DS_DEVICE : OPC_DS_CACHE, kTransactionID, &cancelID);
    CoTaskMemFree(errors);
    if (FAILED(hr) || hr == S_FALSE) {
        Fail((L"async " + op).c_str(), hr);
        return kCallFailed;
    }
    wprintf(L"transaction %lu queued (cancel ID %lu)\n", static_cast<unsigned long>(kTransactionID),
            static_cast<unsigned long>(cancelID));
    if (op == L"cancel") {
        hr = io->Cancel2(cancelID);
        if (hr != S_OK)
            wprintf(L"transaction %lu could not be cancelled any more: %ls\n",
                    static_cast<unsigned long>(kTransactionID), HResultText(hr).c_str());
    }
    rc = WaitForCompletion(sink, kTransactionID);
    if (rc == kOk && op == L"cancel" && hr == S_OK && !sink.WasCancelled(kTransactionID)) {
        fwprintf(stderr, L"error: Cancel2 succeeded but the completion was not OnCancelComplete\n");
        return kCallFailed;
    }
    return rc;
}

}  // namespace opcda_client
