#include "engine/SinkHandOut.h"

#include <new>
#include <vector>

namespace {

bool RunningUnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

class CSinkHandOut final : public IMarshal {
public:
    explicit CSinkHandOut(IUnknown* sink) : m_sink(sink) { m_sink->AddRef(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMarshal) {
            *ppv = static_cast<IMarshal*>(this);
            AddRef();
            return S_OK;
        }
        return m_sink->QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG count = InterlockedDecrement(&m_cRef);
        if (count == 0)
            delete this;
        return count;
    }

    // Unmarshalled as the standard reference it is.
    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* pCid) override
    {
        *pCid = CLSID_StdMarshal;
        return S_OK;
    }
    STDMETHODIMP GetMarshalSizeMax(REFIID riid, void*, DWORD dwDestContext, void* pvDestContext, DWORD mshlflags,
                                   DWORD* pSize) override
    {
        return CoGetMarshalSizeMax(pSize, riid, m_sink, dwDestContext, pvDestContext, mshlflags);
    }
    STDMETHODIMP MarshalInterface(IStream* pStm, REFIID riid, void*, DWORD dwDestContext, void* pvDestContext,
                                  DWORD mshlflags) override
    {
        // What the runtime reserved for this reference: our size plus its own.
        DWORD reserved = 0;
        HRESULT hr = CoGetMarshalSizeMax(&reserved, riid, static_cast<IMarshal*>(this), dwDestContext,
                                         pvDestContext, mshlflags);
        if (FAILED(hr))
            return hr;
        IStream* data = nullptr;
        hr = CreateStreamOnHGlobal(nullptr, TRUE, &data);
        if (FAILED(hr))
            return hr;
        hr = CoMarshalInterface(data, riid, m_sink, dwDestContext, pvDestContext, mshlflags);
        if (FAILED(hr)) {
            data->Release();
            return hr;
        }
        // From here the stream holds references of the sink: on any failure
        // they go back with the marshal data.
        STATSTG stat = {};
        hr = data->Stat(&stat, STATFLAG_NONAME);
        if (SUCCEEDED(hr) && stat.cbSize.QuadPart > reserved)
            hr = E_UNEXPECTED;
        LARGE_INTEGER zero = {};
        data->Seek(zero, STREAM_SEEK_SET, nullptr);
        std::vector<BYTE> bytes(reserved, 0);  // the reference, then zeros
        if (SUCCEEDED(hr))
            hr = data->Read(bytes.data(), static_cast<ULONG>(stat.cbSize.QuadPart), nullptr);
        if (SUCCEEDED(hr))
            hr = pStm->Write(bytes.data(), reserved, nullptr);
        if (FAILED(hr)) {
            data->Seek(zero, STREAM_SEEK_SET, nullptr);
            CoReleaseMarshalData(data);
        }
        data->Release();
        return hr;
    }
    STDMETHODIMP UnmarshalInterface(IStream*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }

private:
    ~CSinkHandOut() { m_sink->Release(); }
    LONG m_cRef = 1;
    IUnknown* m_sink;
};

}  // namespace

IUnknown* HandOutSink(IUnknown* sink)
{
    IClientSecurity* proxy = nullptr;  // answered by proxies only
    if (!RunningUnderWine() || FAILED(sink->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&proxy)))) {
        sink->AddRef();
        return sink;
    }
    proxy->Release();
    auto* handOut = new (std::nothrow) CSinkHandOut(sink);
    if (!handOut) {
        sink->AddRef();
        return sink;
    }
    return handOut;
}
