// An IAdviseSink of the tests: keeps a copy of every block it receives.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <mutex>
#include <vector>

class AdviseSinkSpy : public IAdviseSink {
public:
    struct Block {
        CLIPFORMAT cf;
        DWORD tymed;
        std::vector<BYTE> bytes;
    };

    ~AdviseSinkSpy()
    {
        // A test that stopped early may leave the server advised: the stubs
        // go now, so nothing calls into the spy once it is gone.
        CoDisconnectObject(static_cast<IAdviseSink*>(this), 0);
    }

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
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP_(void) OnDataChange(FORMATETC* fe, STGMEDIUM* medium) override
    {
        Block b{fe->cfFormat, fe->tymed, {}};
        if (medium && medium->tymed == TYMED_HGLOBAL && medium->hGlobal) {
            b.bytes.resize(GlobalSize(medium->hGlobal));
            void* p = GlobalLock(medium->hGlobal);
            memcpy(b.bytes.data(), p, b.bytes.size());
            GlobalUnlock(medium->hGlobal);
        }
        std::lock_guard<std::mutex> lock(mutex);
        blocks.push_back(std::move(b));
        if (order)
            order->push_back(this);
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks.size();
    }

    volatile LONG refs = 1;
    std::mutex mutex;
    std::vector<Block> blocks;
    std::vector<AdviseSinkSpy*>* order = nullptr;  // shared call log of several sinks
};
