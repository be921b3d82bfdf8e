// Process entry of the Vantrel OPC DA 1.0a server.
#include "common/Trace.h"
#include "engine/Advise.h"
#include "host/ClassFactory.h"
#include "host/ClientWatch.h"
#include "host/InterfaceKeeper.h"
#include "host/Module.h"
#include "host/Profile.h"
#include "host/Registration.h"
#include "host/ServerLifetime.h"
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
        // The test server's class, items and tree, when COM started the
        // process for it.
        if (ScanTestServer(commandLine))
            UseTestProfile();
        // Records of advise connections: set before any client can connect.
        pfnCreateConnectionData = &CreateMarshaledConnectionData;
        // The interfaces stay registered with the RPC runtime until the end.
        hRes = KeepInterfacesRegistered();
        VANTREL_ASSERT(SUCCEEDED(hRes));
        hRes = RegisterClassObjects();
        VANTREL_ASSERT(SUCCEEDED(hRes));

        StartServing();
        // A server COM started ends when its clients' processes end, and when
        // none comes at all.
        StartClientWatch(ScanEmbedding(commandLine));
        StartShutdownListener();

        RunMessageLoop();
        RevokeClassObjects();
        StopShutdownListener();
        StopClientWatch();
        // The process ends in its apartment: leaving it would unregister
        // every interface from the RPC runtime, and under Wine such an
        // unregistration right after a call can wait forever (see
        // InterfaceKeeper.h), leaving a process that never ends. The
        // process's end frees all of it.
        StopServing();
        return exitCode;
    }
    }

    CoUninitialize();
    StopServing();
    return exitCode;
}
