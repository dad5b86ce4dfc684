// The COM rules of the built module: unload decisions, identity, aggregation, the answers of its
// entry points, and the IHostedAddin slots the host calls by position.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tests/win/com_support.hpp"

namespace orvane::test {
namespace {

void* const kUntouched = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A5A));

// An object that aggregates the add-in: it answers IUnknown itself and hands every other request
// to the inner unknown, as a real outer object does. Counts are its own; it lives on the stack.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        ++queries;
        if (::IsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (inner == nullptr) return E_NOINTERFACE;
        return inner->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    long refs = 1;
    int queries = 0;
    IUnknown* inner = nullptr;
};

HRESULT Create(IUnknown* outer, REFIID iid, void** out) {
    ComRef<IClassFactory> factory;
    const HRESULT hr = Orvane().ClassFactory(factory);
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, iid, out);
}

template <class Interface>
ComRef<Interface> Query(IUnknown* object, REFIID iid) {
    ComRef<Interface> result;
    EXPECT_EQ(object->QueryInterface(iid, result.put_void()), S_OK);
    return result;
}

class ComFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Orvane().handle, nullptr) << "Orvane.dll did not load";
        ASSERT_EQ(Orvane().canUnloadNow(), S_OK) << "a previous test left the module held";
    }
};

TEST_F(ComFrame, UnloadIsRefusedWhileAnythingHoldsTheModule) {
    struct Case {
        const char* what;
        std::function<std::function<void()>()> hold;  // returns how to let go again
    };
    const Case cases[] = {
        {"a plain object",
         [] {
             auto* object = new ComRef<IUnknown>;
             EXPECT_EQ(Create(nullptr, IID_IUnknown, object->put_void()), S_OK);
             return std::function<void()>([object] { delete object; });
         }},
        {"an aggregated object",
         [] {
             auto* outer = new Outer;
             EXPECT_EQ(Create(outer, IID_IUnknown, reinterpret_cast<void**>(&outer->inner)), S_OK);
             return std::function<void()>([outer] {
                 outer->inner->Release();
                 delete outer;
             });
         }},
        {"a client's reference on the class object",
         [] {
             auto* factory = new ComRef<IClassFactory>;
             EXPECT_EQ(Orvane().ClassFactory(*factory), S_OK);
             return std::function<void()>([factory] { delete factory; });
         }},
        {"a server lock",
         [] {
             ComRef<IClassFactory> factory;
             EXPECT_EQ(Orvane().ClassFactory(factory), S_OK);
             EXPECT_EQ(factory->LockServer(TRUE), S_OK);
             return std::function<void()>([] {
                 ComRef<IClassFactory> again;
                 EXPECT_EQ(Orvane().ClassFactory(again), S_OK);
                 EXPECT_EQ(again->LockServer(FALSE), S_OK);
             });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::function<void()> letGo = c.hold();
        EXPECT_EQ(Orvane().canUnloadNow(), S_FALSE);
        letGo();
        EXPECT_EQ(Orvane().canUnloadNow(), S_OK);
    }
}

TEST_F(ComFrame, ClassObjectIsCachedAndOnlyClientReferencesHoldTheModule) {
    ComRef<IClassFactory> first;
    ComRef<IUnknown> second;
    ASSERT_EQ(Orvane().ClassFactory(first), S_OK);
    ASSERT_EQ(Orvane().getClassObject(CLSID_Addin, IID_IUnknown, second.put_void()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(first.get()), second.get()) << "one class object, built once";
    first.reset();
    EXPECT_EQ(Orvane().canUnloadNow(), S_FALSE) << "the second reference still holds it";
    second.reset();
    EXPECT_EQ(Orvane().canUnloadNow(), S_OK) << "the class object itself does not hold the module";
}

TEST_F(ComFrame, UnmatchedServerUnlockDoesNotReleaseAnObjectsHold) {
    ComRef<IUnknown> object;
    ASSERT_EQ(Create(nullptr, IID_IUnknown, object.put_void()), S_OK);
    ComRef<IClassFactory> factory;
    ASSERT_EQ(Orvane().ClassFactory(factory), S_OK);
    factory.reset();
    {
        ComRef<IClassFactory> again;
        ASSERT_EQ(Orvane().ClassFactory(again), S_OK);
        EXPECT_EQ(again->LockServer(FALSE), S_OK);
    }
    EXPECT_EQ(Orvane().canUnloadNow(), S_FALSE) << "the live object must keep the module";
    object.reset();
    EXPECT_EQ(Orvane().canUnloadNow(), S_OK);
}

TEST_F(ComFrame, QueryInterfaceKeepsOneIdentity) {
    ComRef<IUnknown> unknown;
    ASSERT_EQ(Create(nullptr, IID_IUnknown, unknown.put_void()), S_OK);
    ComRef<IAddin> addin = Query<IAddin>(unknown.get(), IID_IAddin);
    ComRef<IHostedAddin> hosted = Query<IHostedAddin>(unknown.get(), IID_IHostedAddin);
    EXPECT_EQ(static_cast<IUnknown*>(addin.get()), unknown.get()) << "IAddin is the identity";
    EXPECT_NE(static_cast<IUnknown*>(hosted.get()), unknown.get());
    EXPECT_EQ(Query<IUnknown>(hosted.get(), IID_IUnknown).get(), unknown.get());
    EXPECT_EQ(Query<IHostedAddin>(addin.get(), IID_IHostedAddin).get(), hosted.get());
    EXPECT_EQ(Query<IAddin>(hosted.get(), IID_IAddin).get(), addin.get());
    // Two references taken and given back leave the count where it was.
    unknown->AddRef();
    EXPECT_EQ(unknown->Release(), 3u) << "held by unknown, addin and hosted";
}

TEST_F(ComFrame, EntryPointsAnswerTheDocumentedFailures) {
    struct Case {
        const char* what;
        HRESULT expected;
        bool nullOut;
        std::function<HRESULT(void** out)> call;
    };
    static Outer outer;
    const Case cases[] = {
        {"class object of another CLSID", CLASS_E_CLASSNOTAVAILABLE, false,
         [](void** out) { return Orvane().getClassObject(IID_IAddin, IID_IClassFactory, out); }},
        {"class object into a null pointer", E_POINTER, true,
         [](void** out) { return Orvane().getClassObject(CLSID_Addin, IID_IClassFactory, out); }},
        {"class object as IDispatch", E_NOINTERFACE, false,
         [](void** out) { return Orvane().getClassObject(CLSID_Addin, IID_IDispatch, out); }},
        {"class object queried into a null pointer", E_POINTER, true,
         [](void** out) {
             ComRef<IClassFactory> factory;
             EXPECT_EQ(Orvane().ClassFactory(factory), S_OK);
             return factory->QueryInterface(IID_IClassFactory, out);
         }},
        {"instance into a null pointer", E_POINTER, true,
         [](void** out) { return Create(nullptr, IID_IUnknown, out); }},
        {"aggregated instance asked for IAddin", CLASS_E_NOAGGREGATION, false,
         [](void** out) { return Create(&outer, IID_IAddin, out); }},
        {"aggregated instance asked for IHostedAddin", CLASS_E_NOAGGREGATION, false,
         [](void** out) { return Create(&outer, IID_IHostedAddin, out); }},
        {"instance asked for IDispatch", E_NOINTERFACE, false,
         [](void** out) { return Create(nullptr, IID_IDispatch, out); }},
        {"instance asked for IClassFactory", E_NOINTERFACE, false,
         [](void** out) { return Create(nullptr, IID_IClassFactory, out); }},
        {"object queried for IDispatch", E_NOINTERFACE, false,
         [](void** out) {
             ComRef<IUnknown> object;
             EXPECT_EQ(Create(nullptr, IID_IUnknown, object.put_void()), S_OK);
             return object->QueryInterface(IID_IDispatch, out);
         }},
        {"object queried into a null pointer", E_POINTER, true,
         [](void** out) {
             ComRef<IUnknown> object;
             EXPECT_EQ(Create(nullptr, IID_IUnknown, object.put_void()), S_OK);
             return object->QueryInterface(IID_IHostedAddin, out);
         }},
        {"inner unknown queried into a null pointer", E_POINTER, true,
         [](void** out) {
             Outer local;
             ComRef<IUnknown> inner;
             EXPECT_EQ(Create(&local, IID_IUnknown, inner.put_void()), S_OK);
             return inner->QueryInterface(IID_IAddin, out);
         }},
        {"inner unknown queried for IDispatch", E_NOINTERFACE, false,
         [](void** out) {
             Outer local;
             ComRef<IUnknown> inner;
             EXPECT_EQ(Create(&local, IID_IUnknown, inner.put_void()), S_OK);
             return inner->QueryInterface(IID_IDispatch, out);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* out = kUntouched;
        EXPECT_EQ(c.call(c.nullOut ? nullptr : &out), c.expected);
        if (!c.nullOut) {
            EXPECT_EQ(out, nullptr) << "the out pointer must be cleared";
        }
        EXPECT_EQ(Orvane().canUnloadNow(), S_OK) << "an object built for a refused request must be gone";
    }
    EXPECT_EQ(outer.refs, 1) << "a refused aggregation must not keep a reference on the outer object";
}

TEST_F(ComFrame, AggregatedObjectLivesByItsInnerUnknownAndLendsItsInterfacesToTheOuter) {
    Outer outer;
    ComRef<IUnknown> inner;
    ASSERT_EQ(Create(&outer, IID_IUnknown, inner.put_void()), S_OK);
    outer.inner = inner.get();
    EXPECT_NE(inner.get(), static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.refs, 1) << "the inner object keeps no reference on its outer object";
    EXPECT_EQ(Query<IUnknown>(inner.get(), IID_IUnknown).get(), inner.get()) << "the inner unknown answers itself";

    {
        ComRef<IAddin> addin = Query<IAddin>(inner.get(), IID_IAddin);
        EXPECT_EQ(outer.refs, 2) << "a reference handed out is a reference on the outer object";
        addin->AddRef();
        EXPECT_EQ(outer.refs, 3);
        addin->Release();
        EXPECT_EQ(outer.refs, 2);

        const int queriesBefore = outer.queries;
        ComRef<IUnknown> identity = Query<IUnknown>(addin.get(), IID_IUnknown);
        EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer)) << "IUnknown of IAddin is the outer object";
        ComRef<IHostedAddin> hosted = Query<IHostedAddin>(addin.get(), IID_IHostedAddin);
        EXPECT_EQ(outer.queries, queriesBefore + 2) << "both queries went through the outer object";
        EXPECT_EQ(Query<IUnknown>(hosted.get(), IID_IUnknown).get(), static_cast<IUnknown*>(&outer));
        EXPECT_EQ(Orvane().canUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(outer.refs, 1) << "every forwarded reference came back";
    EXPECT_EQ(Orvane().canUnloadNow(), S_FALSE) << "the inner unknown still holds the object";
    inner.reset();
    EXPECT_EQ(Orvane().canUnloadNow(), S_OK);
}

// The add-in's windows of this process; other processes of the prefix may have their own.
int MessageWindows() {
    int count = 0;
    for (HWND w = nullptr; (w = ::FindWindowExW(HWND_MESSAGE, w, L"OrvaneMessageOnlyWindow", nullptr)) != nullptr;) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(w, &process);
        if (process == ::GetCurrentProcessId()) ++count;
    }
    return count;
}

// The host calls by slot, not by name: slot 3 must be Startup (one argument), 4 to 6 the reserved
// methods (one, none, two arguments), on both forms of the object.
TEST_F(ComFrame, HostedAddinSlotsAnswerInContractOrderOnBothForms) {
    using OneArgument = HRESULT(STDMETHODCALLTYPE*)(IHostedAddin*, void*);
    using NoArgument = HRESULT(STDMETHODCALLTYPE*)(IHostedAddin*);
    using TwoArguments = HRESULT(STDMETHODCALLTYPE*)(IHostedAddin*, void*, void*);
    Outer outer;
    for (const bool aggregated : {false, true}) {
        SCOPED_TRACE(aggregated ? "aggregated" : "plain");
        ComRef<IUnknown> object;
        ASSERT_EQ(Create(aggregated ? &outer : nullptr, IID_IUnknown, object.put_void()), S_OK);
        outer.inner = aggregated ? object.get() : nullptr;
        ComRef<IHostedAddin> hosted = Query<IHostedAddin>(object.get(), IID_IHostedAddin);
        void* const* slots = *reinterpret_cast<void* const* const*>(hosted.get());
        auto slot = [slots](int index) { return slots[index]; };

        const int windowsBefore = MessageWindows();
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(reinterpret_cast<OneArgument>(slot(4))(hosted.get(), kUntouched), S_OK);
            EXPECT_EQ(reinterpret_cast<NoArgument>(slot(5))(hosted.get()), S_OK);
            EXPECT_EQ(reinterpret_cast<TwoArguments>(slot(6))(hosted.get(), kUntouched, kUntouched), S_OK);
        }
        EXPECT_EQ(MessageWindows(), windowsBefore) << "the reserved slots change nothing";
        EXPECT_EQ(reinterpret_cast<OneArgument>(slot(3))(hosted.get(), nullptr), S_OK);
        EXPECT_EQ(MessageWindows(), windowsBefore + 1) << "slot 3 is Startup, which brings up a window";
    }
    EXPECT_EQ(outer.refs, 1);
}

}  // namespace
}  // namespace orvane::test
