#include "ControlHost.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>
#include <tlhelp32.h>
#include <urlmon.h>

#include <stdexcept>

#include "ClassFactory.h"
#include "Module.h"

extern "C" HRESULT CreateBrowserLocation(const WCHAR* location, IUnknown** out);

namespace keyvoratest {

namespace {

typedef BOOL(WINAPI* AtlAxWinInitFn)();
typedef HRESULT(WINAPI* AtlAxGetControlFn)(HWND, IUnknown**);
typedef HRESULT(WINAPI* AtlAdviseFn)(IUnknown*, IUnknown*, const IID*, DWORD*);
typedef HRESULT(WINAPI* AtlUnadviseFn)(IUnknown*, const IID*, DWORD);

HMODULE Atl()
{
    static HMODULE atl = LoadLibraryW(L"atl.dll");
    return atl;
}

template <class F>
F AtlFunction(const char* name)
{
    auto function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(Atl(), name)));
    if (!function)
        throw std::runtime_error(std::string("atl.dll has no ") + name);
    return function;
}

// The page the next control is made for (set around the container's creation of it).
const wchar_t* g_page = nullptr;
PageFrom g_pageFrom = PageFrom::None;

// The container's site, except that it names the page: by its moniker, or as the location of
// the browser its service provider gives.
class PageSite final : public IOleClientSite, public IServiceProvider {
public:
    PageSite(IOleClientSite* real, const wchar_t* page, PageFrom from) : m_real(real), m_page(page), m_from(from) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
            *out = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(iid, IID_IServiceProvider) && m_from == PageFrom::Browser)
            *out = static_cast<IServiceProvider*>(this);
        else
            return m_real->QueryInterface(iid, out);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }
    STDMETHODIMP SaveObject() override { return m_real->SaveObject(); }
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override
    {
        if (m_from == PageFrom::Moniker && which == OLEWHICHMK_CONTAINER)
            return CreateURLMonikerEx(nullptr, m_page.c_str(), moniker, URL_MK_UNIFORM);
        return m_real->GetMoniker(assign, which, moniker);
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override { return m_real->GetContainer(container); }
    STDMETHODIMP ShowObject() override { return m_real->ShowObject(); }
    STDMETHODIMP OnShowWindow(BOOL show) override { return m_real->OnShowWindow(show); }
    STDMETHODIMP RequestNewObjectLayout() override { return m_real->RequestNewObjectLayout(); }
    STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (!IsEqualGUID(service, SID_SWebBrowserApp))
            return E_NOINTERFACE;
        ctlfw::ComPtr<IUnknown> browser;
        HRESULT hr = CreateBrowserLocation(m_page.c_str(), browser.Put());
        return SUCCEEDED(hr) ? browser->QueryInterface(iid, out) : hr;
    }

private:
    ctlfw::ComPtr<IOleClientSite> m_real;
    std::wstring m_page;
    PageFrom m_from;
    LONG m_refs = 1;
};

// The control aggregated: this object's IOleObject hands the control a PageSite around every
// site the container sets; everything else is the control's own.
class PageOuter final : public IOleObject {
public:
    PageOuter(const wchar_t* page, PageFrom from) : m_page(page), m_from(from) {}
    HRESULT Create()
    {
        HRESULT hr = ctlfw::CreateInstance<CKeyvoraCtl>(this, IID_IUnknown, reinterpret_cast<void**>(&m_inner));
        if (SUCCEEDED(hr))
            hr = m_inner->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&m_innerOle));
        if (SUCCEEDED(hr))
            Release();  // the reference the inner interface holds on this outer object
        return hr;
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleObject)) {
            *out = static_cast<IOleObject*>(this);
            AddRef();
            return S_OK;
        }
        // Quick activation would set the site past this object.
        if (IsEqualIID(iid, IID_IQuickActivate) || !m_inner) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return m_inner->QueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) {
            m_refs = 1;  // the releases below come back through this object
            if (m_innerOle) {
                AddRef();
                m_innerOle->Release();
            }
            if (m_inner)
                m_inner->Release();
            delete this;
        }
        return static_cast<ULONG>(refs);
    }
    STDMETHODIMP SetClientSite(IOleClientSite* site) override
    {
        m_site = site;
        if (!site)
            return m_innerOle->SetClientSite(nullptr);
        PageSite* page = new PageSite(site, m_page.c_str(), m_from);
        const HRESULT hr = m_innerOle->SetClientSite(page);
        page->Release();
        return hr;
    }
    // As a browser that reuses the control for another page: the container's site again, now
    // naming that page, and in-place activation there.
    HRESULT Resite(const wchar_t* page, PageFrom from, HWND parent)
    {
        if (!m_site)
            return E_UNEXPECTED;
        m_page = page ? page : L"";
        m_from = from;
        const ctlfw::ComPtr<IOleClientSite> container(m_site);
        HRESULT hr = SetClientSite(container.Get());
        ctlfw::ComPtr<IOleClientSite> site;
        if (SUCCEEDED(hr))
            hr = m_innerOle->GetClientSite(site.Put());
        RECT rect = {};
        GetClientRect(parent, &rect);
        return SUCCEEDED(hr) ? m_innerOle->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site.Get(), 0, parent, &rect) : hr;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** site) override { return m_innerOle->GetClientSite(site); }
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override { return m_innerOle->SetHostNames(app, object); }
    STDMETHODIMP Close(DWORD option) override { return m_innerOle->Close(option); }
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override { return m_innerOle->SetMoniker(which, moniker); }
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override
    {
        return m_innerOle->GetMoniker(assign, which, moniker);
    }
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override
    {
        return m_innerOle->InitFromData(data, creation, reserved);
    }
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override
    {
        return m_innerOle->GetClipboardData(reserved, data);
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent, LPCRECT rect) override
    {
        return m_innerOle->DoVerb(verb, msg, site, index, parent, rect);
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override { return m_innerOle->EnumVerbs(verbs); }
    STDMETHODIMP Update() override { return m_innerOle->Update(); }
    STDMETHODIMP IsUpToDate() override { return m_innerOle->IsUpToDate(); }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override { return m_innerOle->GetUserClassID(clsid); }
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override { return m_innerOle->GetUserType(form, type); }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override { return m_innerOle->SetExtent(aspect, size); }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override { return m_innerOle->GetExtent(aspect, size); }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override { return m_innerOle->Advise(sink, connection); }
    STDMETHODIMP Unadvise(DWORD connection) override { return m_innerOle->Unadvise(connection); }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override { return m_innerOle->EnumAdvise(advise); }
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override { return m_innerOle->GetMiscStatus(aspect, status); }
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override { return m_innerOle->SetColorScheme(palette); }

private:
    std::wstring m_page;
    PageFrom m_from;
    LONG m_refs = 1;
    IUnknown* m_inner = nullptr;
    IOleObject* m_innerOle = nullptr;
    ctlfw::ComPtr<IOleClientSite> m_site;  // the container's own
};

// The control's class object, or (while a page is set) one that makes the control for it.
class HostFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!g_page || outer)
            return ctlfw::CreateInstance<CKeyvoraCtl>(outer, iid, out);
        PageOuter* object = new PageOuter(g_page, g_pageFrom);
        HRESULT hr = object->Create();
        if (SUCCEEDED(hr))
            hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

HostFactory g_factory;

}  // namespace

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** out)
{
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID__IKeyvoraCtlEvents)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    if (id != 1 || !params || params->cArgs != 2 || params->rgvarg[0].vt != VT_I4 || params->rgvarg[1].vt != VT_I4)
        return DISP_E_BADPARAMCOUNT;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    FiredEvent event = {params->rgvarg[1].lVal, params->rgvarg[0].lVal, GetCurrentThreadId(), -1, now.QuadPart};
    if (control)
        control->get_LastReportedSCardEventType(&event.typeSeenInHandler);
    events.push_back(event);
    if (onEvent)
        onEvent();
    return S_OK;
}

ClassRegistration::ClassRegistration()
{
    ctlfw::Module::SetInstance(GetModuleHandleW(nullptr));
    OleInitialize(nullptr);
    if (FAILED(CoRegisterClassObject(CLSID_KeyvoraCtl, static_cast<IClassFactory*>(&g_factory), CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &m_cookie)))
        throw std::runtime_error("cannot register the control's class object");
}

ClassRegistration::~ClassRegistration()
{
    CoRevokeClassObject(m_cookie);
    OleUninitialize();
}

HostedControl::HostedControl(EventSink* sink, const wchar_t* page, PageFrom from)
{
    static const BOOL initialized = AtlFunction<AtlAxWinInitFn>("AtlAxWinInit")();
    if (!initialized)
        throw std::runtime_error("AtlAxWinInit failed");
    g_page = page;
    g_pageFrom = from;
    m_host = CreateWindowExW(0, L"AtlAxWin", L"{9E96B5EC-8318-4927-B026-630DFD86D539}", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                             200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    g_page = nullptr;
    m_paged = page != nullptr;
    if (!m_host)
        throw std::runtime_error("no AtlAxWin window");
    ctlfw::ComPtr<IUnknown> unknown;
    if (FAILED(AtlFunction<AtlAxGetControlFn>("AtlAxGetControl")(m_host, unknown.Put())) ||
        FAILED(unknown.As(IID_IKeyvoraCtl, m_control)))
        throw std::runtime_error("the container holds no control");
    if (sink) {
        sink->control = m_control.Get();
        if (FAILED(AtlFunction<AtlAdviseFn>("AtlAdvise")(unknown.Get(), sink, &DIID__IKeyvoraCtlEvents, &m_cookie)))
            throw std::runtime_error("AtlAdvise failed");
    }
}

HostedControl::~HostedControl() { Destroy(); }

void HostedControl::Resite(const wchar_t* page, PageFrom from)
{
    ctlfw::ComPtr<IOleObject> ole;
    if (!m_paged || FAILED(m_control.As(IID_IOleObject, ole)) ||
        FAILED(static_cast<PageOuter*>(ole.Get())->Resite(page, from, m_host)))
        throw std::runtime_error("the control cannot be moved to another page");
}

void HostedControl::Destroy()
{
    m_control.Reset();
    if (m_host)
        DestroyWindow(m_host);
    m_host = nullptr;
}

CKeyvoraCtl& HostedControl::Object() const { return ObjectOf(m_control.Get()); }

CKeyvoraCtl& ObjectOf(IKeyvoraCtl* control)
{
    return *static_cast<CKeyvoraCtl*>(static_cast<ctlfw::DispatchImpl<IKeyvoraCtl, &IID_IKeyvoraCtl>*>(control));
}

HWND HostedControl::ControlWindow() const { return Object().WindowHandle(); }

ProcessCounts CurrentProcessCounts()
{
    ProcessCounts counts = {0, 0, 0};
    // Wine answers GetProcessHandleCount and GetGuiResources with 0, so handles are counted by
    // probing the handle values a process of this size uses, and USER objects by the control
    // window class, which stays registered only while a control window exists.
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++counts.handles;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    counts.userObjects = GetClassInfoExW(GetModuleHandleW(nullptr), L"KeyvoraCtlWindow", &wc) ? 1 : 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == GetCurrentProcessId())
                ++counts.threads;
        CloseHandle(snapshot);
    }
    return counts;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                                  QS_ALLINPUT);
    }
}

void PumpFor(DWORD milliseconds)
{
    PumpUntil([] { return false; }, milliseconds);
}

}  // namespace keyvoratest
