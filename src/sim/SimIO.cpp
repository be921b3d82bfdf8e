#include "sim/SimIO.h"

#include "common/Trace.h"
#include "sim/Generator.h"
#include "sim/SimItems.h"

namespace {
CSimIO g_simIO;
}

IDeviceIO* const pGlobalDeviceIO = &g_simIO;

HRESULT CSimIO::UpdateItems(const DeviceHandleSet& hDevices, CCache& cache)
{
    HRESULT result = S_OK;
    for (DWORD h : hDevices) {
        VARIANT v;
        v.vt = VT_EMPTY;
        DWORD kind = DeviceHandleKind(h);
        if (!DeviceKindValid(kind)) {
            VANTREL_ASSERT(!"device handle kind above 4");
            result = E_FAIL;
            continue;
        }
        int set = DeviceSetNumber(h);
        {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            switch (kind) {
            case kKindValue:
                v.vt = VT_R8;
                v.dblVal = g_generatorBank.GetValue(set).second;
                break;
            case kKindFct:
                v.vt = VT_UI1;
                v.bVal = static_cast<BYTE>(g_generatorBank.GetFunction(set));
                break;
            case kKindPeriod:
                v.vt = VT_R8;
                v.dblVal = g_generatorBank.GetPeriod(set);
                break;
            case kKindT0: {
                // Read back as a 32-bit integer, although written as a double.
                double t0 = g_generatorBank.GetT0(set);
                v.vt = VT_I4;
                v.lVal = (t0 == t0 && t0 < 2147483648.0 && t0 > -2147483649.0) ? static_cast<LONG>(t0)
                                                                                   : static_cast<LONG>(0x80000000);
                break;
            }
            case kKindOn:
                v.vt = VT_BOOL;
                v.boolVal = g_generatorBank.GetOn(set) ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            }
        }
        FILETIME ts;
        GetSystemTimeAsFileTime(&ts);
        {
            CDeviceLockHold lock(cache.m_hMutex);
            try {
                cache.SetEntryValue(h, v, ts, OPC_QUALITY_GOOD);
            } catch (const CCache::CCacheException&) {
                // The last item of this handle went away since the handles
                // were collected: the sample is dropped.
            }
        }
        // v holds no allocated data (numbers only).
    }
    return result;
}

HRESULT CSimIO::WriteItems(DWORD dwCount, const DWORD* phDevices, const VARIANT* pValues, HRESULT* pErrors)
{
    bool anyFailure = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        DWORD kind = phDevices[i] >> 24;
        int set = static_cast<int>(phDevices[i] & 0xFFFFFF);
        if (kind > 4)
            DeviceKindValid(kind);
        if (kind >= 1 && kind <= 4) {
            CDeviceLockHold lock(g_generatorBank.m_hMutex);
            switch (kind) {
            case kKindFct:
                g_generatorBank.SetFunction(set, pValues[i].bVal);
                break;
            case kKindPeriod:
                g_generatorBank.SetPeriod(set, pValues[i].dblVal);
                break;
            case kKindT0:
                g_generatorBank.SetT0(set, pValues[i].dblVal);
                break;
            case kKindOn:
                g_generatorBank.SetOn(set, static_cast<int>(pValues[i].boolVal));
                break;
            }
            pErrors[i] = S_OK;
        } else {
            pErrors[i] = E_FAIL;
            anyFailure = true;
        }
    }
    return anyFailure ? S_FALSE : S_OK;
}
