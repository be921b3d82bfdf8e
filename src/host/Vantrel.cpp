// Process entry of the Vantrel OPC DA 1.0a server.
#include "common/Trace.h"
#include "engine/Advise.h"
#include "host/ClassFactory.h"
#include "host/ClientWatch.h"
#include "host/InterfaceKeeper.h"
#include "host/Module.h"
#include "host/Registration.h"
#include "host/ShutdownCommand.h"
#include "host/Startup.h"

#include <objbase.h>

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    const wchar_t* commandLine = GetCommandLineW();

    HRESULT hRes = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    VANTREL_ASSERT(SUCCEEDED(hRes));

    g_module.m_hInstance = hInstance;
    g_module.m_nLockCount = 0;
    g_module.m_dwThreadID = GetCurrentThreadId();

    int exitCode = 0;
    std::wstring reason;
    if (ScanShutdown(commandLine, &reason)) {
        exitCode = RunShutdownCommand(reason);
        CoUninitialize();
        return exitCode;
    }
    switch (ScanCommandLine(commandLine)) {
    case CommandLineAction::RegServer:
        exitCode = RegisterServer(hInstance);
        break;
    case CommandLineAction::UnregServer:
        exitCode = UnregisterServer(hInstance);
        break;
    case CommandLineAction::Serve: {
        // Records of advise connections: set before any client can connect.
        pfnCreateConnectionData = &CreateMarshaledConnectionData;
        // The interfaces stay registered with the RPC runtime until the end.
        hRes = KeepInterfacesRegistered();
        VANTREL_ASSERT(SUCCEEDED(hRes));
        for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
            IClassFactory* factory = new CClassFactory(e->pfnCreateInstance);
            factory->AddRef();
            hRes = CoRegisterClassObject(*e->pclsid, factory, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                         REGCLS_MULTIPLEUSE, &e->dwRegister);
            factory->Release();
            if (FAILED(hRes))
                break;
        }
        VANTREL_ASSERT(SUCCEEDED(hRes));

        StartServing();
        // A server COM started ends when its clients' processes end, and when
        // none comes at all.
        StartClientWatch(ScanEmbedding(commandLine));
        StartShutdownListener();

        MSG msg;
        BOOL got;
        while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
            if (got == -1)
                continue;
            DispatchMessageW(&msg);
        }

        for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
            if (FAILED(CoRevokeClassObject(e->dwRegister)))
                break;
        }
        StopShutdownListener();
        StopClientWatch();
        ReleaseKeptInterfaces();
        break;
    }
    }

    CoUninitialize();
    StopServing();
    return exitCode;
}
