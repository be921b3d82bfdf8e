// Process host: command line, class factory, aggregation, module lock, trace.
#include "common/OpcDefs.h"
#include "common/Trace.h"
#include "host/ClassFactory.h"
#include "host/Module.h"
#include "host/Registration.h"
#include "host/ServerLifetime.h"
#include "opc/OPCSrvr.h"
#include "TraceCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(CommandLine, SwitchMustBeTheLastThingOnTheLine)
{
    EXPECT_EQ(CommandLineAction::RegServer, ScanCommandLine(L"\"C:\\v\\Vantrel.exe\" -RegServer"));
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L"\"C:\\v\\Vantrel.exe\" -RegServer "));
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L"\"C:\\v\\Vantrel.exe\" -RegServer -x"));
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L"\"C:\\v\\Vantrel.exe\" -Embedding"));
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L"\"C:\\v\\Vantrel.exe\""));
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L""));
}

TEST(CommandLine, BothSeparatorsAndAnyLetterCase)
{
    EXPECT_EQ(CommandLineAction::RegServer, ScanCommandLine(L"Vantrel.exe /regserver"));
    EXPECT_EQ(CommandLineAction::RegServer, ScanCommandLine(L"Vantrel.exe -REGSERVER"));
    EXPECT_EQ(CommandLineAction::UnregServer, ScanCommandLine(L"Vantrel.exe /UnRegServer"));
    EXPECT_EQ(CommandLineAction::UnregServer, ScanCommandLine(L"Vantrel.exe -unregserver"));
}

TEST(CommandLine, SeparatorInsideTheProgramPath)
{
    // "-" and "/" inside the path start tokens that do not match...
    EXPECT_EQ(CommandLineAction::Serve, ScanCommandLine(L"C:/my-tools/Vantrel.exe"));
    EXPECT_EQ(CommandLineAction::RegServer, ScanCommandLine(L"C:/my-tools/Vantrel.exe /RegServer"));
    // ...unless the rest of the line is exactly a switch word.
    EXPECT_EQ(CommandLineAction::RegServer, ScanCommandLine(L"C:\\x-RegServer"));
    EXPECT_EQ(CommandLineAction::UnregServer, ScanCommandLine(L"/UnregServer"));
}

namespace {
// An outer object for aggregation that counts its references.
class COuter : public IUnknown {
public:
    LONG refs = 1;
    IUnknown* inner = nullptr;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};
}  // namespace

TEST(ClassFactory, CreateInstanceChecksItsArguments)
{
    IClassFactory* factory = new CClassFactory(&COPCServer::CreateInstance);
    factory->AddRef();
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IOPCServer, nullptr));

    COuter outer;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IOPCServer, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(1, outer.refs);
    factory->Release();
}

TEST(ClassFactory, PlainCreationGivesTheServerAndReleaseDestroysIt)
{
    CClassFactory factory(&COPCServer::CreateInstance);
    LONG before = g_module.m_nLockCount;
    TraceCapture trace;
    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)));
    EXPECT_EQ(before + 1, g_module.m_nLockCount);
    // The first AddRef of a new object shows the count after the change: 1.
    EXPECT_TRUE(trace.contains(L"+++++AddRef()     COPCServer::")) << trace.text().c_str();
    EXPECT_TRUE(trace.contains(L"  refcount = 1 +++\n"));
    server->Release();
    EXPECT_EQ(before, g_module.m_nLockCount);
    EXPECT_TRUE(trace.contains(L"refcount = 0 ---\n"));
    EXPECT_TRUE(trace.contains(L"COPCServer destructing\n"));
}

TEST(ClassFactory, AggregationGivesTheAggregatesOwnUnknown)
{
    CClassFactory factory(&COPCServer::CreateInstance);
    COuter outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, factory.CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    ASSERT_NE(nullptr, inner);
    EXPECT_EQ(1, outer.refs);  // the inner unknown does not count on the outer one
    outer.inner = inner;

    // Asking the aggregate's unknown for IUnknown gives itself.
    IUnknown* again = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(inner, again);
    again->Release();

    // IOPCServer through the aggregate: its AddRef/Release reach the outer object.
    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)));
    EXPECT_EQ(2, outer.refs);
    server->AddRef();
    EXPECT_EQ(3, outer.refs);
    server->Release();
    server->Release();
    EXPECT_EQ(1, outer.refs);

    // QueryInterface on the inner IOPCServer goes to the outer unknown.
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server)));
    IUnknown* viaServer = nullptr;
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaServer)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), viaServer);
    viaServer->Release();
    server->Release();

    LONG before = g_module.m_nLockCount;
    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ(before - 1, g_module.m_nLockCount);
}

TEST(ClassFactory, LockServerHoldsTheProcessLock)
{
    CClassFactory factory(&COPCServer::CreateInstance);
    LONG before = g_module.m_nLockCount;
    EXPECT_EQ(S_OK, factory.LockServer(TRUE));
    EXPECT_EQ(before + 1, g_module.m_nLockCount);
    EXPECT_EQ(S_OK, factory.LockServer(FALSE));
    EXPECT_EQ(before, g_module.m_nLockCount);
}

TEST(Trace, LongMessagesAreCutAt511Characters)
{
    TraceCapture trace;
    std::wstring name(700, L'x');
    DebugTrace(L"OPCGroup \"%s\" (%ld) destructing\n", name.c_str(), 5L);
    std::wstring text = trace.text();
    EXPECT_EQ(511u, text.size());
    EXPECT_EQ(L"OPCGroup \"xxx", text.substr(0, 13));
}

TEST(Trace, FormatsWideStringsAndNumbers)
{
    TraceCapture trace;
    DebugTrace(L"%s - %d - %I64d\n", L"abc", 42, 1234567890123LL);
    EXPECT_EQ(L"abc - 42 - 1234567890123\n", trace.text());
}

TEST(Trace, QueryInterfaceLineNamesTheInterface)
{
    TraceCapture trace;
    TraceQueryInterface(L"COPCServer", IID_IUnknown, S_OK);
    EXPECT_EQ(L"COPCServer - IUnknown\n", trace.text());
}

TEST(Trace, QueryInterfaceLineOfAnUnknownInterfaceShowsItsIidAndFailure)
{
    const IID unknownIid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    TraceCapture trace;
    TraceQueryInterface(L"COPCServer", unknownIid, E_NOINTERFACE);
    EXPECT_EQ(L"COPCServer - {12345678-1234-1234-0102-030405060708} - failed\n", trace.text());
}

TEST(Trace, AssertionsReportAndGoOn)
{
    TraceCapture trace;
    long before = AssertionCount();
    VANTREL_ASSERT(1 == 2);
    EXPECT_EQ(before + 1, AssertionCount());
    EXPECT_TRUE(trace.contains(L"1 == 2")) << trace.text().c_str();
    EXPECT_TRUE(trace.contains(L"test_host.cpp"));
}

namespace {
// Runs a thread with a message queue standing in for the main thread, and
// counts the WM_QUIT messages it receives.
struct QuitCounter {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG quits = 0;

    static DWORD WINAPI Run(void* p)
    {
        auto* self = static_cast<QuitCounter*>(p);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make the queue
        SetEvent(self->ready);
        for (;;) {
            DWORD r = MsgWaitForMultipleObjects(0, nullptr, FALSE, 300, QS_ALLINPUT);
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT)
                    InterlockedIncrement(&self->quits);
            }
            if (r == WAIT_TIMEOUT)
                break;
        }
        return 0;
    }
    void Start()
    {
        thread = CreateThread(nullptr, 0, &Run, this, 0, &id);
        WaitForSingleObject(ready, INFINITE);
    }
    void Join()
    {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(ready);
    }
};
}  // namespace

TEST(ProcessLock, LastReleasePostsExactlyOneQuitAndLockServerDefersIt)
{
    ASSERT_EQ(0, g_module.m_nLockCount);
    QuitCounter main;
    main.Start();
    g_module.m_dwThreadID = main.id;

    CClassFactory factory(&COPCServer::CreateInstance);
    ASSERT_EQ(S_OK, factory.LockServer(TRUE));
    IOPCServer* server = nullptr;
    ASSERT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)));
    server->Release();
    Sleep(50);
    EXPECT_EQ(0, main.quits);  // the lock holds the process after every object is gone
    ASSERT_EQ(S_OK, factory.LockServer(FALSE));
    main.Join();
    g_module.m_dwThreadID = 0;
    CoResumeClassObjects();
    EXPECT_EQ(1, main.quits);
}

namespace {
// Runs the main thread's decision with short times and no class object
// registered with COM (an activation service entry of the test process
// would be found by other tests' clients).
struct ProcessEnd : ::testing::Test {
    const CLifetimeTimes times = {60, 30};
    std::vector<bool> served;
    void SetUp() override
    {
        ASSERT_EQ(0, g_module.m_nLockCount);
        for (CClassTableEntry* e = g_classTable; e->pclsid; ++e) {
            served.push_back(e->bServed);
            e->bServed = false;
        }
    }
    void TearDown() override
    {
        ResetLifetime();
        size_t i = 0;
        for (CClassTableEntry* e = g_classTable; e->pclsid; ++e)
            e->bServed = served[i++];
    }
};

// Creates a server object through the factory after a delay, on a thread of
// its own, and keeps it until released.
struct LateClient {
    DWORD delayMs;
    IOPCServer* server = nullptr;
    HRESULT hr = E_PENDING;
    HANDLE thread = nullptr;
    static DWORD WINAPI Run(void* p)
    {
        auto* self = static_cast<LateClient*>(p);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Sleep(self->delayMs);
        CClassFactory factory(&COPCServer::CreateInstance);
        self->hr = factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&self->server));
        CoUninitialize();
        return 0;
    }
    void Start() { thread = CreateThread(nullptr, 0, &Run, this, 0, nullptr); }
    void Join()
    {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};
}  // namespace

TEST_F(ProcessEnd, AProcessNobodyComesBackToEndsAfterTheLingerAndRefusesLaterCreations)
{
    const DWORD start = GetTickCount();
    EXPECT_TRUE(EndWhenStillIdle(times));
    EXPECT_GE(GetTickCount() - start, times.dwLingerMs + times.dwDrainMs - 20);
    // Decided: a creation arriving now is told the server is stopping, and
    // counts nothing.
    CClassFactory factory(&COPCServer::CreateInstance);
    IOPCServer* server = nullptr;
    EXPECT_EQ(CO_E_SERVER_STOPPING, factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server)));
    EXPECT_EQ(nullptr, server);
    EXPECT_EQ(0, g_module.m_nLockCount);
}

TEST_F(ProcessEnd, AClientComingWhileTheProcessLingersKeepsItServing)
{
    for (DWORD delay : {10u, 75u}) {  // during the linger, during the drain after the revocation
        LateClient client{delay};
        client.Start();
        EXPECT_FALSE(EndWhenStillIdle(times)) << delay;
        client.Join();
        ASSERT_EQ(S_OK, client.hr) << delay;
        // Serving on: another creation works, and the decision runs again
        // when the count falls back to 0.
        CClassFactory factory(&COPCServer::CreateInstance);
        IOPCServer* second = nullptr;
        ASSERT_EQ(S_OK, factory.CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&second)));
        second->Release();
        client.server->Release();
        EXPECT_EQ(0, g_module.m_nLockCount);
    }
    EXPECT_TRUE(EndWhenStillIdle(times));
}
