// The served interfaces stay registered with the RPC runtime after the last
// stub of one of them goes, so releasing an object never takes the platform's
// unregistration path (which can hang under Wine).
//
// The check unregisters the interface itself (the runtime offers no query):
// each test case runs in a process of its own, and no other in-process test
// marshals these interfaces.
#include "common/OpcDefs.h"
#include "host/InterfaceKeeper.h"
#include "OpcTestUtil.h"

#include <rpc.h>
#include <rpcdce.h>

namespace {
// Unregisters the interface with the RPC runtime: RPC_S_OK when it was
// registered, RPC_S_UNKNOWN_IF when it was not.
RPC_STATUS UnregisterFromRpc(REFIID iid)
{
    RPC_SERVER_INTERFACE spec = {};
    spec.Length = sizeof(spec);
    spec.InterfaceId.SyntaxGUID = iid;
    return RpcServerUnregisterIf(&spec, nullptr, FALSE);
}

// Marshals the object as a client connection would and gives the reference
// back, so its stub goes.
void MarshalAndRelease(IUnknown* object, REFIID iid)
{
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()));
    ASSERT_EQ(S_OK, CoMarshalInterface(stream.Get(), iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL));
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(S_OK, CoReleaseMarshalData(stream.Get()));
}

// An object of no interest to the server, with an interface it does not serve.
class CPlainObject : public IPersist {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IPersist) {
            *ppv = static_cast<IPersist*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP GetClassID(CLSID* id) override
    {
        *id = CLSID_NULL;
        return S_OK;
    }
    volatile LONG refs = 1;
};
}  // namespace

TEST(InterfaceKeeper, WithoutItTheLastStubOfAnInterfaceUnregistersIt)
{
    // What the keeper guards against: the platform unregisters an interface
    // when its last stub goes.
    CPlainObject plain;
    MarshalAndRelease(&plain, IID_IPersist);
    EXPECT_EQ(RPC_S_UNKNOWN_IF, UnregisterFromRpc(IID_IPersist));
    EXPECT_EQ(1, plain.refs);
}

TEST(InterfaceKeeper, GroupInterfacesStayRegisteredAfterTheLastGroupGoes)
{
    ASSERT_EQ(S_OK, KeepInterfacesRegistered());
    EXPECT_EQ(0, g_module.m_nLockCount);  // the kept stubs do not hold the process
    {
        ComPtr<IOPCServer> server;
        ASSERT_EQ(S_OK, COPCServer::CreateInstance(nullptr, IID_IOPCServer,
                                                   reinterpret_cast<void**>(server.GetAddressOf())));
        ComPtr<IOPCItemMgt> group;
        OPCHANDLE h = 0;
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server->AddGroup(L"g", FALSE, 100, 1, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                                         reinterpret_cast<IUnknown**>(group.GetAddressOf())));
        MarshalAndRelease(group.Get(), IID_IOPCItemMgt);
        MarshalAndRelease(group.Get(), IID_IDataObject);
        group.Reset();
        EXPECT_EQ(S_OK, server->RemoveGroup(h, FALSE));
    }
    EXPECT_EQ(0, g_module.m_nLockCount);
    EXPECT_EQ(RPC_S_OK, UnregisterFromRpc(IID_IOPCItemMgt));
    EXPECT_EQ(RPC_S_OK, UnregisterFromRpc(IID_IDataObject));
    for (size_t i = 0; i < g_servedInterfaceCount; ++i) {
        if (*g_servedInterfaces[i] != IID_IOPCItemMgt && *g_servedInterfaces[i] != IID_IDataObject) {
            EXPECT_EQ(RPC_S_OK, UnregisterFromRpc(*g_servedInterfaces[i])) << i;
        }
    }
    ReleaseKeptInterfaces();
}
