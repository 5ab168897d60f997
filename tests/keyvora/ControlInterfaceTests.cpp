// The control's COM surface in-process: properties and the PIN, identity and aggregation,
// persistence, object safety, error information, and the registry hand-off; then Keyvora.dll
// itself through regsvr32, DllInstall and a script host.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "ControlHost.h"
#include "EventCapture.h"
#include "HandOff.h"
#include "ImportHook.h"
#include "Process.h"
#include "ScratchRegistry.h"
#include "Trace.h"
#include "TraceCapture.h"
#include "UniqueHandle.h"

using ctlfw::ComPtr;
using testsupport::TraceCapture;
using tsmb::HandOffKey;

namespace {

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnableTracing();
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_KeyvoraCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IKeyvoraCtl,
                                                  reinterpret_cast<void**>(m_control.Put())));
    }
    template <class I>
    ComPtr<I> As(REFIID iid) const
    {
        ComPtr<I> out;
        m_control.As(iid, out);
        return out;
    }
    std::wstring Pin() const
    {
        BSTR pin = nullptr;
        EXPECT_HRESULT_SUCCEEDED(m_control->get_AuthSCardPin(&pin));
        std::wstring text = pin ? pin : L"(null)";
        SysFreeString(pin);
        return text;
    }

    keyvoratest::ClassRegistration m_registration;
    ComPtr<IKeyvoraCtl> m_control;
};

TEST_F(ControlTest, FreshControl_ReportsNothingYetAndHoldsAnEmptyPin)
{
    LONG type = 0, status = -1;
    ULONG lastError = 1;
    EXPECT_HRESULT_SUCCEEDED(m_control->get_LastReportedSCardEventType(&type));
    EXPECT_HRESULT_SUCCEEDED(m_control->get_LastReportedSCardEventStatus(&status));
    EXPECT_HRESULT_SUCCEEDED(m_control->get_ReadHttpDataFromUrlLastError(&lastError));
    EXPECT_EQ(255, type);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, lastError);
    EXPECT_EQ(L"", Pin());
    // No card, so no active reader: the call fails before anything is sent.
    BSTR data = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_FAIL, m_control->ReadHttpDataFromUrl(nullptr, nullptr, nullptr, &data));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(E_POINTER, m_control->ReadHttpDataFromUrl(nullptr, nullptr, nullptr, nullptr));
}

// Blocks of the PIN store still held: allocations minus releases while hooked.
int g_blocks = 0;
LPVOID WINAPI CountingVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    LPVOID block = testsupport::RealExport<decltype(&VirtualAlloc)>(L"kernel32.dll", "VirtualAlloc")(address, size, type,
                                                                                                   protect);
    g_blocks += block ? 1 : 0;
    return block;
}
BOOL WINAPI CountingVirtualFree(LPVOID address, SIZE_T size, DWORD type)
{
    const BOOL freed = testsupport::RealExport<decltype(&VirtualFree)>(L"kernel32.dll", "VirtualFree")(address, size, type);
    g_blocks -= freed ? 1 : 0;
    return freed;
}

TEST_F(ControlTest, Pin_KeepsTheLastOneSet_EmptyAndNullAreEmpty_TheStoreZeroesThePagesString)
{
    TraceCapture trace;
    BSTR first = SysAllocString(L"1234");
    EXPECT_HRESULT_SUCCEEDED(m_control->put_AuthSCardPin(first));
    EXPECT_EQ(std::wstring(4, L'\0'), std::wstring(first, 4));
    SysFreeString(first);
    EXPECT_EQ(L"1234", Pin());
    BSTR second = SysAllocString(L"987654");
    g_blocks = 0;
    {
        // The first secret is released: replacing one secret by another leaves no block behind.
        testsupport::ImportHook alloc(nullptr, "VirtualAlloc", &CountingVirtualAlloc);
        testsupport::ImportHook release(nullptr, "VirtualFree", &CountingVirtualFree);
        EXPECT_HRESULT_SUCCEEDED(m_control->put_AuthSCardPin(second));
    }
    EXPECT_EQ(0, g_blocks);
    SysFreeString(second);
    EXPECT_EQ(L"987654", Pin());

    BSTR empty = SysAllocString(L"");
    EXPECT_HRESULT_SUCCEEDED(m_control->put_AuthSCardPin(empty));
    SysFreeString(empty);
    EXPECT_EQ(L"", Pin());
    EXPECT_HRESULT_SUCCEEDED(m_control->put_AuthSCardPin(nullptr));
    EXPECT_EQ(L"", Pin());
    EXPECT_EQ((std::vector<std::string>{"SCardAuth:CKeyvoraCtl::put_AuthSCardPin: empty smart card PIN submitted",
                                        "SCardAuth:CKeyvoraCtl::put_AuthSCardPin: no smart card PIN submitted (empty)"}),
              trace.LinesStartingWith("SCardAuth:CKeyvoraCtl::put_AuthSCardPin"));
}

LPVOID WINAPI FailVirtualAlloc(LPVOID, SIZE_T, DWORD, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(ControlTest, PinTheStoreCannotKeep_FailsAndReadsEmpty_AControlWithoutItsFirstPinIsNotCreated)
{
    const LONG locks = ctlfw::Module::LockCount();
    {
        testsupport::ImportHook hook(nullptr, "VirtualAlloc", &FailVirtualAlloc);
        BSTR pin = SysAllocString(L"1234");
        EXPECT_EQ(E_OUTOFMEMORY, m_control->put_AuthSCardPin(pin));
        SysFreeString(pin);
        ComPtr<IKeyvoraCtl> another;
        EXPECT_EQ(E_OUTOFMEMORY, CoCreateInstance(CLSID_KeyvoraCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IKeyvoraCtl,
                                                  reinterpret_cast<void**>(another.Put())));
        EXPECT_FALSE(another);
    }
    EXPECT_EQ(L"", Pin());
    EXPECT_EQ(locks, ctlfw::Module::LockCount());
    // Without a PIN store the page's PIN is unknown: no request goes out without it.
    keyvoratest::ObjectOf(m_control.Get()).SetActiveReader(L"R1");
    testsupport::TraceCapture trace;
    EnableTracing();
    BSTR data = nullptr;
    BSTR url = SysAllocString(L"http://127.0.0.1:1/never");
    EXPECT_EQ(E_FAIL, m_control->ReadHttpDataFromUrl(url, nullptr, nullptr, &data));
    SysFreeString(url);
    EXPECT_EQ(nullptr, data);
    EXPECT_TRUE(trace.Contains("SCardAuth:CKeyvoraCtl::ReadHttpDataFromUrl: failed: no PIN store (the last PIN could not "
                               "be stored)"));
}

// A browser that runs the page at low integrity (Protected Mode): the control cannot record the
// reader for the shell, and says so at every creation in the trace and once in the Event Log.
// The hook gives the control a token of this integrity level.
DWORD g_integrityLevel = SECURITY_MANDATORY_LOW_RID;

BOOL WINAPI IntegrityTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size,
                                      PDWORD needed)
{
    if (kind != TokenIntegrityLevel)
        return testsupport::RealExport<decltype(&GetTokenInformation)>(L"advapi32.dll", "GetTokenInformation")(
            token, kind, data, size, needed);
    static SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
    struct Label {
        TOKEN_MANDATORY_LABEL label;
        BYTE sid[SECURITY_MAX_SID_SIZE];
    };
    *needed = sizeof(Label);
    if (size < sizeof(Label)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    Label* out = static_cast<Label*>(data);
    InitializeSid(out->sid, &mandatory, 1);
    *GetSidSubAuthority(out->sid, 0) = g_integrityLevel;
    out->label.Label.Sid = out->sid;
    out->label.Label.Attributes = SE_GROUP_INTEGRITY;
    return TRUE;
}

struct IntegrityLevel {
    const char* name;
    DWORD rid;
    bool protectedMode;
};

// Only a level below medium is Protected Mode.
const IntegrityLevel kIntegrityLevels[] = {
    {"untrusted", SECURITY_MANDATORY_UNTRUSTED_RID, true},
    {"low", SECURITY_MANDATORY_LOW_RID, true},
    {"medium", SECURITY_MANDATORY_MEDIUM_RID, false},
    {"medium plus", SECURITY_MANDATORY_MEDIUM_RID + 0x100, false},
    {"high", SECURITY_MANDATORY_HIGH_RID, false},
    {"system", SECURITY_MANDATORY_SYSTEM_RID, false},
};

TEST(ProtectedModeControl, OnlyBelowMedium_TracedAtEveryCreation_ReportedOnceForTheProcess)
{
    const std::string line = "SCardAuth:CKeyvoraCtl::CKeyvoraCtl: the browser runs this page at low integrity "
                             "(Protected Mode) => the authentication reader cannot be recorded for the shell; put the "
                             "desktop-access site in a zone without Protected Mode";
    keyvoratest::ClassRegistration registration;
    testsupport::EventCapture events;
    EnableTracing();
    TraceCapture trace;
    for (const IntegrityLevel& level : kIntegrityLevels) {
        trace.Clear();
        g_integrityLevel = level.rid;
        {
            testsupport::ImportHook hook(nullptr, "GetTokenInformation", &IntegrityTokenInformation);
            for (int i = 0; i < 2; ++i) {
                ComPtr<IKeyvoraCtl> control;
                ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_KeyvoraCtl, nullptr, CLSCTX_INPROC_SERVER,
                                                          IID_IKeyvoraCtl, reinterpret_cast<void**>(control.Put())));
            }
        }
        EXPECT_EQ(level.protectedMode ? 2u : 0u, trace.Count(line))
            << "a page at " << level.name << " integrity (0x" << std::hex << level.rid << ") was "
            << (level.protectedMode ? "not taken for Protected Mode" : "taken for Protected Mode")
            << ": only a level below medium is Protected Mode";
    }
    testsupport::ExpectOutcomes(events, L"Keyvora.dll", {{0, ORVANE_EVENT_LOW_INTEGRITY, {}}});
    // The token the test runs with: not a word.
    trace.Clear();
    events.Clear();
    ComPtr<IKeyvoraCtl> control;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_KeyvoraCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IKeyvoraCtl,
                                              reinterpret_cast<void**>(control.Put())));
    EXPECT_TRUE(trace.LinesStartingWith("SCardAuth:CKeyvoraCtl::CKeyvoraCtl: the browser runs").empty());
    EXPECT_TRUE(events.Entries().empty());
}

TEST_F(ControlTest, QueryInterface_AnswersEveryControlInterfaceWithOneIdentity)
{
    const IID* answered[] = {&IID_IKeyvoraCtl, &IID_IDispatch, &IID_IViewObjectEx, &IID_IViewObject2, &IID_IViewObject,
                             &IID_IOleInPlaceObjectWindowless, &IID_IOleInPlaceObject, &IID_IOleWindow,
                             &IID_IOleInPlaceActiveObject, &IID_IOleControl, &IID_IOleObject, &IID_IPersistStreamInit,
                             &IID_IPersist, &IID_ISupportErrorInfo, &IID_IConnectionPointContainer,
                             &IID_ISpecifyPropertyPages, &IID_IQuickActivate, &IID_IPersistStorage, &IID_IDataObject,
                             &IID_IProvideClassInfo, &IID_IProvideClassInfo2, &IID_IPersistPropertyBag,
                             &IID_IObjectSafety, &IID_IUnknown};
    ComPtr<IUnknown> identity;
    ASSERT_HRESULT_SUCCEEDED(m_control.As(IID_IUnknown, identity));
    for (const IID* iid : answered) {
        ComPtr<IUnknown> itf;
        ASSERT_HRESULT_SUCCEEDED(m_control.As(*iid, itf));
        ComPtr<IUnknown> back;
        ASSERT_HRESULT_SUCCEEDED(itf.As(IID_IUnknown, back));
        EXPECT_EQ(identity.Get(), back.Get());
    }
    for (const IID* iid : {&IID_IClassFactory, &IID_IPersistFile, &IID_IOleInPlaceSite, &DIID__IKeyvoraCtlEvents}) {
        ComPtr<IUnknown> itf;
        EXPECT_EQ(E_NOINTERFACE, m_control.As(*iid, itf));
    }
    ComPtr<ISupportErrorInfo> errorInfo = As<ISupportErrorInfo>(IID_ISupportErrorInfo);
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_IKeyvoraCtl));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IOleObject));
}

// A client site whose container moniker names the hosting page (or that has none).
struct PageSite final : IOleClientSite {
    const wchar_t* page = nullptr;
    DWORD assign = 0, which = 0;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD a, DWORD w, IMoniker** moniker) override
    {
        assign = a;
        which = w;
        *moniker = nullptr;
        return page ? CreateFileMoniker(page, moniker) : E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override
    {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
};

TEST_F(ControlTest, SetClientSite_TracesThePageOfTheContainerMonikerAndIgnoresItsAbsence)
{
    ComPtr<IOleObject> ole = As<IOleObject>(IID_IOleObject);
    const std::string prefix = "SCardAuth:CKeyvoraCtl::SetClientSite:";
    for (const wchar_t* page : {L"C:\\kiosk\\desktop.html", static_cast<const wchar_t*>(nullptr)}) {
        PageSite site;
        site.page = page;
        TraceCapture trace;
        ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(&site));
        std::vector<std::string> expected = {prefix + " executing..."};
        if (page)
            expected.push_back(prefix + " current URL is: C:\\kiosk\\desktop.html");
        EXPECT_EQ(expected, trace.LinesStartingWith(prefix));
        EXPECT_EQ(static_cast<DWORD>(OLEGETMONIKER_TEMPFORUSER), site.assign);
        EXPECT_EQ(static_cast<DWORD>(OLEWHICHMK_CONTAINER), site.which);
        ComPtr<IOleClientSite> held;
        ASSERT_HRESULT_SUCCEEDED(ole->GetClientSite(held.Put()));
        EXPECT_EQ(static_cast<IOleClientSite*>(&site), held.Get());
        held.Reset();
        ASSERT_HRESULT_SUCCEEDED(ole->SetClientSite(nullptr));
    }
}

// An outer object that aggregates the control and counts its own references.
struct Outer final : IUnknown {
    ULONG refs = 1;
    ComPtr<IUnknown> inner;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

TEST_F(ControlTest, Aggregated_InterfacesComeBackThroughTheOuterUnknownAndCountsBalance)
{
    const LONG locks = ctlfw::Module::LockCount();
    Outer outer;
    ComPtr<IKeyvoraCtl> refused;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_KeyvoraCtl, &outer, CLSCTX_INPROC_SERVER, IID_IKeyvoraCtl,
                                                      reinterpret_cast<void**>(refused.Put())));
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_KeyvoraCtl, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                              reinterpret_cast<void**>(outer.inner.Put())));
    EXPECT_EQ(1u, outer.refs);
    {
        ComPtr<IUnknown> viaOuter;
        ASSERT_HRESULT_SUCCEEDED(outer.QueryInterface(IID_IOleObject, reinterpret_cast<void**>(viaOuter.Put())));
        EXPECT_EQ(2u, outer.refs);  // the inner interface counts on the outer object
        ComPtr<IUnknown> identity;
        ASSERT_HRESULT_SUCCEEDED(viaOuter.As(IID_IUnknown, identity));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());
        ComPtr<IOleClientSite> none;
        EXPECT_HRESULT_SUCCEEDED(static_cast<IOleObject*>(viaOuter.Get())->GetClientSite(none.Put()));
    }
    EXPECT_EQ(1u, outer.refs);
    outer.inner.Reset();
    EXPECT_EQ(locks, ctlfw::Module::LockCount());
}

// A property bag that records what is written and answers reads from it.
struct Bag final : IPropertyBag {
    std::vector<std::pair<std::wstring, VARTYPE>> written;
    std::vector<std::pair<std::wstring, ULONG>> values;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override
    {
        for (const auto& v : values)
            if (v.first == name) {
                value->vt = VT_UI4;
                value->ulVal = v.second;
                return S_OK;
            }
        return E_INVALIDARG;
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override
    {
        written.emplace_back(name, value->vt);
        values.emplace_back(name, value->ulVal);
        return S_OK;
    }
};

TEST_F(ControlTest, Persistence_StreamAndPropertyBagCarryOnlyTheExtent)
{
    ComPtr<IOleObject> ole = As<IOleObject>(IID_IOleObject);
    SIZEL extent = {1234, 567};
    ASSERT_HRESULT_SUCCEEDED(ole->SetExtent(DVASPECT_CONTENT, &extent));
    ComPtr<IPersistStreamInit> persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
    EXPECT_EQ(S_OK, persist->IsDirty());

    Bag bag;
    ASSERT_HRESULT_SUCCEEDED(As<IPersistPropertyBag>(IID_IPersistPropertyBag)->Save(&bag, TRUE, TRUE));
    EXPECT_EQ((std::vector<std::pair<std::wstring, VARTYPE>>{{L"_cx", VT_UI4}, {L"_cy", VT_UI4}}), bag.written);
    EXPECT_EQ(S_FALSE, persist->IsDirty());

    ComPtr<IStream> stream;
    ASSERT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()));
    ASSERT_HRESULT_SUCCEEDED(persist->Save(stream.Get(), TRUE));
    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    ULARGE_INTEGER max = {};
    persist->GetSizeMax(&max);
    EXPECT_EQ(max.QuadPart, stat.cbSize.QuadPart);

    // Read back by fresh controls; a second initialisation is refused.
    for (int via = 0; via < 2; ++via) {
        ComPtr<IKeyvoraCtl> other;
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_KeyvoraCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IKeyvoraCtl,
                                                  reinterpret_cast<void**>(other.Put())));
        if (via == 0) {
            LARGE_INTEGER start = {};
            stream->Seek(start, STREAM_SEEK_SET, nullptr);
            ComPtr<IPersistStreamInit> p;
            other.As(IID_IPersistStreamInit, p);
            ASSERT_HRESULT_SUCCEEDED(p->Load(stream.Get()));
            EXPECT_EQ(E_UNEXPECTED, p->InitNew());
        } else {
            ComPtr<IPersistPropertyBag> p;
            other.As(IID_IPersistPropertyBag, p);
            ASSERT_HRESULT_SUCCEEDED(p->Load(&bag, nullptr));
        }
        ComPtr<IOleObject> otherOle;
        other.As(IID_IOleObject, otherOle);
        SIZEL read = {};
        otherOle->GetExtent(DVASPECT_CONTENT, &read);
        EXPECT_EQ(1234, read.cx);
        EXPECT_EQ(567, read.cy);
    }
}

TEST_F(ControlTest, ObjectSafety_AcceptsOptionsThreeOnItsInterfacesAndRefusesAnythingElse)
{
    ComPtr<IObjectSafety> safety = As<IObjectSafety>(IID_IObjectSafety);
    struct Case {
        const IID* iid;
        DWORD mask, enabled;
        HRESULT expected;
    };
    const Case cases[] = {{&IID_IDispatch, 3, 3, S_OK},          {&IID_IPersistPropertyBag, 3, 3, S_OK},
                          {&IID_IKeyvoraCtl, 1, 1, S_OK},        {&IID_IDispatch, 4, 4, E_FAIL},
                          {&IID_IDispatch, 0x13, 0x13, E_FAIL},  {&IID_IPersistFile, 3, 3, E_NOINTERFACE}};
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, safety->SetInterfaceSafetyOptions(*c.iid, c.mask, c.enabled)) << c.mask;
    DWORD supported = 0, enabled = 0;
    ASSERT_HRESULT_SUCCEEDED(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
    EXPECT_EQ(3u, supported);
    EXPECT_EQ(3u, enabled);
}

// ---- The hand-off value ------------------------------------------------------------------

const std::string kHandOff = "SCardAuth:CKeyvoraCtl::SetAuthenticationReaderInVolatileRegistry:";

bool IsVolatile(const wchar_t* path)
{
    const tsmb::UniqueRegistryKey key = testsupport::OpenKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS);
    if (!key)
        return false;
    // Only a volatile key refuses a lasting child.
    LONG result = ERROR_SUCCESS;
    tsmb::UniqueRegistryKey child = testsupport::CreateKey(key.Get(), L"probe", KEY_ALL_ACCESS, 0, nullptr, &result);
    if (child) {
        child.Close();
        RegDeleteKeyW(key.Get(), L"probe");
    }
    return result == ERROR_CHILD_MUST_BE_VOLATILE;
}

struct HandOffCase {
    const char* name;
    std::function<void()> arrange;  // the parent exists, SCardAuth does not
    std::wstring reader;
    std::vector<std::string> trace;  // after the "executing..." line
    const wchar_t* valueIn;          // key path the value ends up in, or nullptr: none
    bool volatileKey;
};

class HandOff : public ControlTest, public ::testing::WithParamInterface<HandOffCase> {};

TEST_P(HandOff, WritesTheReaderBestEffortAndNeverDeletes)
{
    const HandOffCase& c = GetParam();
    testsupport::DeleteKeyTree(HKEY_CURRENT_USER, HandOffKey::kParentKey, 0);
    testsupport::CreateKey(HKEY_CURRENT_USER, HandOffKey::kParentKey, KEY_ALL_ACCESS);
    c.arrange();
    TraceCapture trace;

    keyvoratest::ObjectOf(m_control.Get()).SetAuthenticationReaderInVolatileRegistry(c.reader);

    std::vector<std::string> expected = {kHandOff + " executing..."};
    for (const std::string& line : c.trace)
        expected.push_back(kHandOff + line);
    EXPECT_EQ(expected, trace.LinesStartingWith(kHandOff));
    if (c.valueIn) {
        wchar_t text[256] = {};
        DWORD size = sizeof(text), type = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, c.valueIn, HandOffKey::kValue, RRF_RT_ANY, &type,
                                              text, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(c.reader, text);
        EXPECT_EQ((c.reader.size() + 1) * sizeof(wchar_t), size);
        EXPECT_EQ(c.volatileKey, IsVolatile(c.valueIn));
    }
    testsupport::DeleteKeyTree(HKEY_CURRENT_USER, HandOffKey::kParentKey, 0);
}

const char kOpened[] = " opened HKCU\\SOFTWARE\\Tessam\\Orvane key";
const char kAbsent[] = " HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key absent => create key";
const char kCreated[] = " created HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key";
const char kPresent[] = " HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key already present => open key";
const char kOpenedSub[] = " opened HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key";
std::string Added(const char* reader)
{
    return std::string(" added AuthenticationReader value: \"") + reader +
           "\" to HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth subkey";
}

void MakeKey(const wchar_t* path, DWORD options)
{
    testsupport::CreateKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, options);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandOff,
    ::testing::Values(
        HandOffCase{"FirstWriteCreatesAVolatileKey", [] {}, L"Reader A", {kOpened, kAbsent, kCreated, Added("Reader A")},
                    HandOffKey::kKey, true},
        HandOffCase{"NextWriteOpensIt", [] { MakeKey(HandOffKey::kKey, REG_OPTION_VOLATILE); }, L"Reader B",
                    {kOpened, kPresent, kOpenedSub, Added("Reader B")}, HandOffKey::kKey, true},
        HandOffCase{"LastingKeyIsUsedAsItIs", [] { MakeKey(HandOffKey::kKey, 0); }, L"Reader C",
                    {kOpened, kPresent, kOpenedSub, Added("Reader C")}, HandOffKey::kKey, false},
        // Not recognised by the exact search; the create step opens it all the same.
        HandOffCase{"OtherLetterCaseIsOpenedByCreate",
                    [] { MakeKey((std::wstring(HandOffKey::kParentKey) + L"\\scardauth").c_str(), 0); }, L"Reader D",
                    {kOpened, kAbsent, kCreated, Added("Reader D")}, HandOffKey::kKey, false},
        HandOffCase{"EmptyNameIsNotWritten", [] {}, L"",
                    {kOpened, kAbsent, kCreated,
                     " setting authentication reader name in volatile HKCU registry failed with exception: Win32 error: "
                     "160 => ignore (best effort)"},
                    nullptr, false},
        HandOffCase{"AbsentParentCreatesNothing",
                    [] { testsupport::DeleteKeyTree(HKEY_CURRENT_USER, HandOffKey::kParentKey, 0); }, L"Reader E",
                    {" setting authentication reader name in volatile HKCU registry failed with exception: Win32 error: "
                     "2 => ignore (best effort)"},
                    nullptr, false}),
    [](const ::testing::TestParamInfo<HandOffCase>& info) { return std::string(info.param.name); });

// ---- Keyvora.dll: registration and a script host ------------------------------------------

std::wstring DllPath() { return testsupport::BesideTestProgram(L"Keyvora.dll"); }

DWORD RunSystemProgram(const std::wstring& commandLine)
{
    testsupport::ChildProcess process(L"", commandLine);
    process.WaitForExit(60000);
    return process.ExitCode();
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0)
{
    return static_cast<bool>(testsupport::OpenKey(root, path, KEY_READ | view));
}

std::wstring Value(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t text[512] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"(missing)";
    return text;
}

const std::wstring kClsidKey = L"CLSID\\{9E96B5EC-8318-4927-B026-630DFD86D539}";
const std::wstring kTypeLibKey = L"TypeLib\\{C6BF16ED-D903-4A22-83F7-29F9E5E6CE17}";
const std::wstring kAppIdKey = L"AppID\\{3982AA79-6535-4248-9D96-9CDB753CF93E}";

TEST(KeyvoraDll, Regsvr32WritesTheScriptsAndTheTypeLibrary_UnregisterKeepsAppIdAndClsid)
{
    const std::wstring dll = L"\"" + DllPath() + L"\"";
    for (int i = 0; i < 2; ++i)  // registering twice is clean
        ASSERT_EQ(0u, RunSystemProgram(L"regsvr32.exe /s " + dll));
    EXPECT_EQ(L"KeyvoraCtl Class", Value(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_EQ(DllPath(), Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\InprocServer32"));
    EXPECT_EQ(L"Apartment", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"131473", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\MiscStatus\\1"));
    EXPECT_EQ(L"0", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\MiscStatus"));
    EXPECT_EQ(DllPath() + L", 102", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\ToolboxBitmap32"));
    EXPECT_EQ(L"{3982AA79-6535-4248-9D96-9CDB753CF93E}", Value(HKEY_CLASSES_ROOT, kClsidKey, L"AppID"));
    EXPECT_EQ(L"{C6BF16ED-D903-4A22-83F7-29F9E5E6CE17}", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\TypeLib"));
    EXPECT_EQ(L"1.0", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\Version"));
    EXPECT_EQ(L"Keyvora.KeyvoraCtl.1", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\ProgID"));
    EXPECT_EQ(L"Keyvora.KeyvoraCtl", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\VersionIndependentProgID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\Programmable"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\Control"));
    EXPECT_EQ(L"Keyvora.KeyvoraCtl.1", Value(HKEY_CLASSES_ROOT, L"Keyvora.KeyvoraCtl\\CurVer"));
    EXPECT_EQ(L"{9E96B5EC-8318-4927-B026-630DFD86D539}", Value(HKEY_CLASSES_ROOT, L"Keyvora.KeyvoraCtl.1\\CLSID"));
    EXPECT_EQ(L"Keyvora", Value(HKEY_CLASSES_ROOT, kAppIdKey));
    EXPECT_EQ(L"{3982AA79-6535-4248-9D96-9CDB753CF93E}", Value(HKEY_CLASSES_ROOT, L"AppID\\Keyvora.DLL", L"AppID"));
    EXPECT_EQ(L"Keyvora 1.0 Type Library", Value(HKEY_CLASSES_ROOT, kTypeLibKey + L"\\1.0"));

    ASSERT_EQ(0u, RunSystemProgram(L"regsvr32.exe /s /u " + dll));
    for (const std::wstring& gone : {kClsidKey, kTypeLibKey, kAppIdKey, std::wstring(L"Keyvora.KeyvoraCtl"),
                                     std::wstring(L"Keyvora.KeyvoraCtl.1"), std::wstring(L"AppID\\Keyvora.DLL")})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, gone)) << std::string(gone.begin(), gone.end());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
}

TEST(KeyvoraDll, DllInstallUser_RegistersInTheUsersClassesOnly_AnyOtherWordMachineWide)
{
    const std::wstring dll = L" \"" + DllPath() + L"\"";
    const std::wstring user = L"Software\\Classes\\" + kClsidKey;
    struct Case {
        const wchar_t* word;
        bool perUser;
    };
    for (const Case& c : {Case{L"user", true}, Case{L"USER", true}, Case{L"users", false}}) {
        ASSERT_EQ(0u, RunSystemProgram(std::wstring(L"regsvr32.exe /s /n /i:") + c.word + dll));
        EXPECT_EQ(c.perUser, KeyExists(HKEY_CURRENT_USER, user)) << c.word;
        EXPECT_EQ(c.perUser, KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\Keyvora.KeyvoraCtl")) << c.word;
        EXPECT_EQ(!c.perUser, KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kClsidKey)) << c.word;
        ASSERT_EQ(0u, RunSystemProgram(std::wstring(L"regsvr32.exe /s /u /n /i:") + c.word + dll));
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kClsidKey));
    }
}

TEST(KeyvoraDll, RegistersAndUnregistersFromAFolderWithAnApostrophe)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"O'Neil";
    const std::wstring copy = folder + L"\\Keyvora.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(DllPath().c_str(), copy.c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(0u, RunSystemProgram(L"regsvr32.exe /s \"" + copy + L"\""));
    EXPECT_EQ(copy, Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\InprocServer32"));
    EXPECT_EQ(copy + L", 102", Value(HKEY_CLASSES_ROOT, kClsidKey + L"\\ToolboxBitmap32"));
    EXPECT_EQ(0u, RunSystemProgram(L"regsvr32.exe /s /u \"" + copy + L"\""));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// Which type-library functions a registration reaches: the per-user ones for "user" (looked up
// at run time), the plain ones machine-wide.
std::vector<std::string> g_typeLibCalls;
FARPROC WINAPI RecordingGetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && strstr(name, "TypeLib"))
        g_typeLibCalls.push_back(std::string("lookup ") + name);
    return testsupport::RealExport<decltype(&GetProcAddress)>(L"kernel32.dll", "GetProcAddress")(module, name);
}
HRESULT WINAPI RecordingRegisterTypeLib(ITypeLib* library, LPOLESTR path, LPOLESTR help)
{
    g_typeLibCalls.push_back("RegisterTypeLib");
    return testsupport::RealExport<decltype(&RegisterTypeLib)>(L"oleaut32.dll", "RegisterTypeLib")(library, path, help);
}
HRESULT WINAPI RecordingUnRegisterTypeLib(REFGUID guid, WORD major, WORD minor, LCID lcid, SYSKIND kind)
{
    g_typeLibCalls.push_back("UnRegisterTypeLib");
    return testsupport::RealExport<decltype(&UnRegisterTypeLib)>(L"oleaut32.dll", "UnRegisterTypeLib")(guid, major, minor,
                                                                                                       lcid, kind);
}

TEST(KeyvoraDll, PerUserRegistrationUsesThePerUserTypeLibraryFunctions)
{
    // Freed after the hooks in it are taken out.
    const tsmb::UniqueModule dll(LoadLibraryW(DllPath().c_str()));
    ASSERT_NE(nullptr, dll.Get());
    typedef HRESULT(WINAPI * InstallFn)(BOOL, LPCWSTR);
    auto install = reinterpret_cast<InstallFn>(reinterpret_cast<void*>(GetProcAddress(dll.Get(), "DllInstall")));
    ASSERT_NE(nullptr, install);
    testsupport::ImportHook lookup(dll.Get(), "GetProcAddress", &RecordingGetProcAddress);
    testsupport::ImportHook reg(dll.Get(), "RegisterTypeLib", &RecordingRegisterTypeLib);
    testsupport::ImportHook unreg(dll.Get(), "UnRegisterTypeLib", &RecordingUnRegisterTypeLib);
    g_typeLibCalls.clear();
    EXPECT_EQ(S_OK, install(TRUE, L"user"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\" + kTypeLibKey));
    EXPECT_EQ(S_OK, install(FALSE, L"user"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\" + kTypeLibKey));
    EXPECT_EQ((std::vector<std::string>{"lookup RegisterTypeLibForUser", "lookup UnRegisterTypeLibForUser"}),
              g_typeLibCalls);
}

TEST(KeyvoraDll, CanUnloadOnlyWhenNoObjectOrFactoryIsLeft)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    tsmb::UniqueModule dll(LoadLibraryW(DllPath().c_str()));
    ASSERT_NE(nullptr, dll.Get());
    typedef HRESULT(WINAPI * CanUnloadFn)();
    typedef HRESULT(WINAPI * GetClassObjectFn)(REFCLSID, REFIID, void**);
    auto canUnload =
        reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(dll.Get(), "DllCanUnloadNow")));
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll.Get(), "DllGetClassObject")));
    ASSERT_TRUE(canUnload && getClassObject);
    EXPECT_EQ(S_OK, canUnload());
    {
        ComPtr<IClassFactory> factory;
        ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_KeyvoraCtl, IID_IClassFactory,
                                                reinterpret_cast<void**>(factory.Put())));
        EXPECT_EQ(S_FALSE, canUnload());
        ComPtr<IKeyvoraCtl> control;
        ASSERT_HRESULT_SUCCEEDED(factory->CreateInstance(nullptr, IID_IKeyvoraCtl, reinterpret_cast<void**>(control.Put())));
        factory.Reset();
        EXPECT_EQ(S_FALSE, canUnload());
        // The type library comes from the DLL's own resource.
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(L"LastReportedSCardEventType");
        EXPECT_HRESULT_SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(4, id);
        ComPtr<IClassFactory> locked;
        getClassObject(CLSID_KeyvoraCtl, IID_IClassFactory, reinterpret_cast<void**>(locked.Put()));
        locked->LockServer(TRUE);
        locked.Reset();
        control.Reset();
        EXPECT_EQ(S_FALSE, canUnload());
        ASSERT_HRESULT_SUCCEEDED(getClassObject(CLSID_KeyvoraCtl, IID_IClassFactory,
                                                reinterpret_cast<void**>(locked.Put())));
        locked->LockServer(FALSE);
    }
    EXPECT_EQ(S_OK, canUnload());
    ComPtr<IUnknown> none;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IKeyvoraCtl, IID_IClassFactory,
                                                        reinterpret_cast<void**>(none.Put())));
    dll.Close();
    CoUninitialize();
}

TEST(KeyvoraDll, ScriptHostCreatesTheControlByProgIdAndUsesItsProperties)
{
    const std::wstring dll = L"\"" + DllPath() + L"\"";
    ASSERT_EQ(0u, RunSystemProgram(L"regsvr32.exe /s " + dll));
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring script = std::wstring(folder) + L"keyvora-test.js";
    {
        std::ofstream out(script.c_str());
        // An uncaught script error prints nothing: everything is caught and printed.
        out << "try {\n"
               "  var c = new ActiveXObject('Keyvora.KeyvoraCtl');\n"
               "  WScript.Echo('type=' + c.LastReportedSCardEventType + ' status=' + c.LastReportedSCardEventStatus +\n"
               "               ' lastError=' + c.ReadHttpDataFromUrlLastError + ' pin=[' + c.AuthSCardPin + ']');\n"
               "  c.AuthSCardPin = '1234'; c.AuthSCardPin = '5678';\n"
               "  WScript.Echo('pin=[' + c.AuthSCardPin + ']');\n"
               "  c.AuthSCardPin = '';\n"
               "  WScript.Echo('pin=[' + c.AuthSCardPin + ']');\n"
               "} catch (e) { WScript.Echo('error ' + e.number + ' ' + e.message); }\n";
    }
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const testsupport::ProcessResult result =
        testsupport::RunProgram(std::wstring(system) + L"\\cscript.exe", L"//nologo \"" + script + L"\"");
    DeleteFileW(script.c_str());
    RunSystemProgram(L"regsvr32.exe /s /u " + dll);
    std::string output;
    for (char ch : result.output)
        if (ch != '\r')
            output += ch;
    EXPECT_EQ("type=255 status=0 lastError=0 pin=[]\npin=[5678]\npin=[]\n", output);
}

}  // namespace
