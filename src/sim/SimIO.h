// The device's input and output: sampling into the cache, writing parameters.
#pragma once
#include "common/OpcDefs.h"
#include "core/Cache.h"

class IDeviceIO {
public:
    virtual ~IDeviceIO() = default;
    virtual HRESULT UpdateItems(const DeviceHandleSet& hDevices, CCache& cache) = 0;
    // The cache's periodic pass over its active entries: the same samples
    // as UpdateItems of the pass's handles.
    virtual HRESULT UpdatePass(CSamplePass& pass, CCache& cache) { return UpdateItems(pass.handles, cache); }
    virtual HRESULT WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues,
                               HRESULT* pErrors) = 0;
    // A write that brings a quality or a time stamp: the signal sets make
    // their own and refuse it whole (OPC_E_NOTSUPPORTED).
    virtual HRESULT WriteVQT(DWORD /*hDevice*/, const OPCITEMVQT& /*vqt*/) { return OPC_E_NOTSUPPORTED; }
    // Whether WriteVQT may take a quality or a time stamp for the item (an
    // asynchronous write refuses the others when it is called).
    virtual bool AcceptsQualityTime(DWORD /*hDevice*/) const { return false; }
};

class CSimIO : public IDeviceIO {
public:
    HRESULT UpdateItems(const DeviceHandleSet& hDevices, CCache& cache) override;
    HRESULT UpdatePass(CSamplePass& pass, CCache& cache) override;
    HRESULT WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues, HRESULT* pErrors) override;
};

// The process's device: the signal sets, unless a profile set another one
// before serving.
extern IDeviceIO* pGlobalDeviceIO;
IDeviceIO* SignalSetIO();
