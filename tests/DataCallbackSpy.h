// An IOPCDataCallback of the tests: keeps every data change and every
// completion it receives, answers with `answer`, and runs onData (a call
// back into the server, say) inside OnDataChange, onCompletion inside the
// completions.
#pragma once
#include "common/OpcDefs.h"

#include <functional>
#include <mutex>
#include <vector>

class DataCallbackSpy : public IOPCDataCallback {
public:
    struct Change {
        DWORD transid;
        OPCHANDLE hGroup;
        HRESULT hrQuality, hrError;
        std::vector<OPCHANDLE> clients;
        std::vector<VARTYPE> types;
        std::vector<WORD> qualities;
        char kind = 'D';  // D data change, R read, W write, C cancel complete
        std::vector<HRESULT> errors;
        std::vector<VARIANT> values;  // copies, cleared by the spy
        std::vector<FILETIME> times;
    };
    ~DataCallbackSpy()
    {
        // A test that stopped early may leave the server connected: the
        // stubs go now, so nothing calls into the spy once it is gone.
        CoDisconnectObject(static_cast<IOPCDataCallback*>(this), 0);
        for (auto* list : {&changes, &completions})
            for (Change& c : *list)
                for (VARIANT& v : c.values)
                    VariantClear(&v);
    }

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
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) override
    {
        Keep(changes, Record('D', dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                             pvValues, pwQualities, pErrors, pftTimeStamps));
        if (onData)
            onData();
        return answer;
    }
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                FILETIME* pftTimeStamps, HRESULT* pErrors) override
    {
        return Completed(Record('R', dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                                pvValues, pwQualities, pErrors, pftTimeStamps));
    }
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                 OPCHANDLE* pClienthandles, HRESULT* pErrors) override
    {
        return Completed(Record('W', dwTransid, hGroup, S_OK, hrMastererr, dwCount, pClienthandles, nullptr, nullptr,
                                pErrors));
    }
    STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override
    {
        return Completed(Record('C', dwTransid, hGroup, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr));
    }

    size_t completed()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return completions.size();
    }
    bool WaitForCompletions(size_t n, DWORD timeoutMs = 5000)
    {
        return Poll([&] { return completed() >= n; }, timeoutMs);
    }

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return changes.size();
    }
    bool WaitFor(size_t n, DWORD timeoutMs = 5000)
    {
        return Poll([&] { return count() >= n; }, timeoutMs);
    }

    // The references the server holds go when its calls into the spy have
    // returned: a test that let go from inside a callback waits for that.
    bool WaitForRefs(LONG n, DWORD timeoutMs = 5000)
    {
        return Poll([&] { return refs == n; }, timeoutMs);
    }

    volatile LONG refs = 1;
    HRESULT answer = S_OK;
    std::function<void()> onData;
    std::function<void(const Change&)> onCompletion;
    std::mutex mutex;
    std::vector<Change> changes;
    std::vector<Change> completions;

private:
    static Change Record(char kind, DWORD transid, OPCHANDLE hGroup, HRESULT hrQuality, HRESULT hrError,
                         DWORD dwCount, const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities,
                         const HRESULT* errors, const FILETIME* times = nullptr)
    {
        Change c{transid, hGroup, hrQuality, hrError, {}, {}, {}, kind, {}, {}};
        for (DWORD i = 0; i < dwCount; ++i) {
            c.clients.push_back(clients[i]);
            if (values) {
                c.types.push_back(values[i].vt);
                c.values.emplace_back();
                VariantInit(&c.values.back());
                VariantCopy(&c.values.back(), const_cast<VARIANT*>(&values[i]));
            }
            if (qualities)
                c.qualities.push_back(qualities[i]);
            if (times)
                c.times.push_back(times[i]);
            c.errors.push_back(errors[i]);
        }
        return c;
    }
    void Keep(std::vector<Change>& list, Change c)
    {
        std::lock_guard<std::mutex> lock(mutex);
        list.push_back(std::move(c));
    }
    HRESULT Completed(Change c)
    {
        Change copy = c;  // the values stay the spy's
        copy.values.clear();
        Keep(completions, std::move(c));
        if (onCompletion)
            onCompletion(copy);
        return answer;
    }
    // True once `done` holds, checked until the time is up (and once more then).
    template <class Done>
    static bool Poll(Done done, DWORD timeoutMs)
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(2))
            if (done())
                return true;
        return done();
    }
};
