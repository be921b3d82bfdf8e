// vantrel-serverlist: the OPC server list as an out-of-process COM server,
// for machines without one. "-RegServer" / "-UnregServer" write or remove its
// registration; COM starts it with "-Embedding" and it ends when its last
// object goes, as the server does.
#include "ServerList.h"

#include "common/Trace.h"
#include "host/ClassFactory.h"
#include "host/ClientWatch.h"
#include "host/InterfaceKeeper.h"
#include "host/Module.h"
#include "host/Registration.h"
#include "host/ServerLifetime.h"

#include <comcat.h>
#include <objbase.h>

namespace {
CClassTableEntry g_listClasses[] = {
    {&CLSID_OPCServerList, 101, &COPCServerList::CreateInstance, 0, true},
    {nullptr, 0, nullptr, 0, false},
};

const IID* const kListInterfaces[] = {&IID_IUnknown,      &IID_IClassFactory, &IID_IOPCServerList,
                                      &IID_IOPCServerList2, &IID_IOPCEnumGUID,  &IID_IEnumGUID};
}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    const wchar_t* commandLine = GetCommandLineW();
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    VANTREL_ASSERT(SUCCEEDED(hr));
    g_module.m_hInstance = hInstance;
    g_module.m_dwThreadID = GetCurrentThreadId();
    g_classTable = g_listClasses;

    switch (ScanCommandLine(commandLine)) {
    case CommandLineAction::RegServer:
        hr = RunRegistryScript(hInstance, 101, true);
        CoUninitialize();
        return static_cast<int>(hr);
    case CommandLineAction::UnregServer:
        RunRegistryScript(hInstance, 101, false);
        CoUninitialize();
        return 0;
    case CommandLineAction::Serve:
        break;
    }
    hr = KeepInterfacesRegistered(kListInterfaces, sizeof(kListInterfaces) / sizeof(kListInterfaces[0]));
    VANTREL_ASSERT(SUCCEEDED(hr));
    hr = RegisterClassObjects();
    VANTREL_ASSERT(SUCCEEDED(hr));
    StartClientWatch(ScanEmbedding(commandLine));
    RunMessageLoop();
    RevokeClassObjects();
    StopClientWatch();
    // Ends inside its apartment, as the server does.
    return 0;
}
