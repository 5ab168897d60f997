#include "KeyvoraCtl.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include <new>
#include <utility>

#include "EventLog.h"
#include "HandOff.h"
#include "ProtectedMode.h"
#include "RegistryKey.h"
#include "SCardAuthKeyStorage.h"
#include "SCardAuthCommunicator.h"
#include "Trace.h"
#include "Utils.h"
#include "Win32Error.h"

using ctlfw::InterfaceRow;

namespace {

// OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST
const DWORD kMiscStatus = 0x20191;
const DWORD kSafetyOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
// The PIN store's flags for the PIN: protected for this process only.
const DWORD kPinSecretFlags = 0x10000;

// A keeper of the empty PIN: the terminator alone.
std::shared_ptr<SecretKeeper> EmptyPinSecret()
{
    wchar_t empty[1] = {L'\0'};
    return std::make_shared<SecretKeeper>(empty, sizeof(empty), kPinSecretFlags);
}

// An HTTP method is a token: letters, digits and "!#$%&'*+-.^_`|~", here 1 to 32 of them. Anything
// else (a space, CR or LF above all) would let a page write its own request line or headers.
bool IsMethodToken(const BSTR verb)
{
    const UINT length = SysStringLen(verb);
    if (length == 0 || length > 32)
        return false;
    for (UINT i = 0; i < length; ++i) {
        const wchar_t c = verb[i];
        if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
              (c != L'\0' && wcschr(L"!#$%&'*+-.^_`|~", c))))
            return false;
    }
    return true;
}

// A URL with CR, LF or NUL anywhere is refused: WinINet would cut it or put it on the wire.
bool HasLineBreakOrNul(const BSTR url)
{
    const UINT length = SysStringLen(url);
    for (UINT i = 0; i < length; ++i)
        if (url[i] == L'\r' || url[i] == L'\n' || url[i] == L'\0')
            return true;
    return false;
}

// What a store failure means to the page.
HRESULT StoreFailure()
{
    const DWORD error = GetLastError();
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY || error == ERROR_COMMITMENT_LIMIT
               ? E_OUTOFMEMORY
               : E_FAIL;
}

// The URL of the page that holds the control: the container's moniker, or else the location
// of the browser the site belongs to. Empty when neither gives one.
std::wstring PageUrl(IOleClientSite* site)
{
    std::wstring url;
    ctlfw::ComPtr<IMoniker> moniker;
    if (SUCCEEDED(site->GetMoniker(OLEGETMONIKER_TEMPFORUSER, OLEWHICHMK_CONTAINER, moniker.Put())) && moniker) {
        LPOLESTR name = nullptr;
        if (SUCCEEDED(moniker->GetDisplayName(nullptr, nullptr, &name)) && name) {
            url = name;
            CoTaskMemFree(name);
        }
    }
    if (!url.empty())
        return url;
    ctlfw::ComPtr<IServiceProvider> services;
    ctlfw::ComPtr<IWebBrowser2> browser;
    BSTR location = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(services.Put()))) && services &&
        SUCCEEDED(services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, reinterpret_cast<void**>(browser.Put()))) &&
        browser && SUCCEEDED(browser->get_LocationURL(&location)) && location)
        url.assign(location, SysStringLen(location));
    SysFreeString(location);
    return url;
}

}  // namespace

const ctlfw::InterfaceEntry<CKeyvoraCtl> CKeyvoraCtl::kInterfaces[] = {
    InterfaceRow<CKeyvoraCtl, IKeyvoraCtl>(IID_IKeyvoraCtl),
    InterfaceRow<CKeyvoraCtl, IDispatch, IKeyvoraCtl>(IID_IDispatch),
    InterfaceRow<CKeyvoraCtl, IViewObjectEx>(IID_IViewObjectEx),
    InterfaceRow<CKeyvoraCtl, IViewObject2, IViewObjectEx>(IID_IViewObject2),
    InterfaceRow<CKeyvoraCtl, IViewObject, IViewObjectEx>(IID_IViewObject),
    InterfaceRow<CKeyvoraCtl, IOleInPlaceObjectWindowless>(IID_IOleInPlaceObjectWindowless),
    InterfaceRow<CKeyvoraCtl, IOleInPlaceObject, IOleInPlaceObjectWindowless>(IID_IOleInPlaceObject),
    InterfaceRow<CKeyvoraCtl, IOleWindow, IOleInPlaceObjectWindowless>(IID_IOleWindow),
    InterfaceRow<CKeyvoraCtl, IOleInPlaceActiveObject>(IID_IOleInPlaceActiveObject),
    InterfaceRow<CKeyvoraCtl, IOleControl>(IID_IOleControl),
    InterfaceRow<CKeyvoraCtl, IOleObject>(IID_IOleObject),
    InterfaceRow<CKeyvoraCtl, IPersistStreamInit>(IID_IPersistStreamInit),
    InterfaceRow<CKeyvoraCtl, IPersist, IPersistStreamInit>(IID_IPersist),
    InterfaceRow<CKeyvoraCtl, ISupportErrorInfo>(IID_ISupportErrorInfo),
    InterfaceRow<CKeyvoraCtl, IConnectionPointContainer>(IID_IConnectionPointContainer),
    InterfaceRow<CKeyvoraCtl, ISpecifyPropertyPages>(IID_ISpecifyPropertyPages),
    InterfaceRow<CKeyvoraCtl, IQuickActivate>(IID_IQuickActivate),
    InterfaceRow<CKeyvoraCtl, IPersistStorage>(IID_IPersistStorage),
    InterfaceRow<CKeyvoraCtl, IDataObject>(IID_IDataObject),
    InterfaceRow<CKeyvoraCtl, IProvideClassInfo, IProvideClassInfo2>(IID_IProvideClassInfo),
    InterfaceRow<CKeyvoraCtl, IProvideClassInfo2>(IID_IProvideClassInfo2),
    InterfaceRow<CKeyvoraCtl, IPersistPropertyBag>(IID_IPersistPropertyBag),
    InterfaceRow<CKeyvoraCtl, IObjectSafety>(IID_IObjectSafety),
    {nullptr, nullptr},
};

const ctlfw::ClassObjectEntry kKeyvoraClassObjects[] = {
    {&CLSID_KeyvoraCtl, &ctlfw::CreateInstance<CKeyvoraCtl>},
    {nullptr, nullptr},
};

CProxy_IKeyvoraCtlEvents::CProxy_IKeyvoraCtlEvents() : m_eventsPoint(DIID__IKeyvoraCtlEvents, *this)
{
    AddConnectionPoint(m_eventsPoint);
}

HRESULT CProxy_IKeyvoraCtlEvents::Fire_ReportSCardEvent(LONG eventType, LONG status)
{
    HRESULT result = S_OK;
    const size_t slots = m_eventsPoint.Sinks().Size();
    for (size_t i = 0; i < slots; ++i) {
        // A sink may unadvise (or the page go away) while it is called: hold it.
        ctlfw::ComPtr<IUnknown> sink(m_eventsPoint.Sinks().At(i));
        if (!sink)
            continue;
        VARIANT arguments[2];
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        // Dispatch order: the last parameter first.
        arguments[0].vt = VT_I4;
        arguments[0].lVal = status;
        arguments[1].vt = VT_I4;
        arguments[1].lVal = eventType;
        DISPPARAMS parameters = {arguments, nullptr, 2, 0};
        result = static_cast<IDispatch*>(sink.Get())
                     ->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
        VariantClear(&arguments[0]);
        VariantClear(&arguments[1]);
    }
    return result;
}

CKeyvoraCtl::CKeyvoraCtl() : m_state(new SCardAuthState())
{
    tsmb::SetComponentPrefix(L"SCardAuth");
    tsmb::ReadDebugSwitch(L"Keyvora");
    Trace("SCardAuth:%s: executing...", "CKeyvoraCtl::CKeyvoraCtl");
    // A store that cannot keep even the empty PIN fails the creation of the control.
    try {
        m_pinSecret = EmptyPinSecret();
    } catch (const SecretKeeper::lock_error&) {
        if (StoreFailure() == E_OUTOFMEMORY)
            throw std::bad_alloc();
        throw;
    }
    ReportLowIntegrity();
    m_siteLock = SiteLock::FromRegistry();
    // Browser tabs are threads of one process: the shared provider closes with the last control.
    SCardAuthKeyStorage::Process().Acquire(!tsmb::IsWindows5Workstation());
}

CKeyvoraCtl::~CKeyvoraCtl()
{
    // A container that releases the control without deactivating it still gets the monitor
    // stopped: the window's WM_DESTROY is handled while this class is whole.
    DestroyControlWindow();
    m_pinSecret.reset();
    SCardAuthKeyStorage::Process().Release();
    m_monitoringThread = nullptr;
}

void CKeyvoraCtl::ReportLowIntegrity()
{
    if (!IsBelowMediumIntegrity())
        return;
    Trace("SCardAuth:%s: the browser runs this page at low integrity (Protected Mode) => the authentication reader "
          "cannot be recorded for the shell; put the desktop-access site in a zone without Protected Mode",
          "CKeyvoraCtl::CKeyvoraCtl");
    // Once for the browser process: every page of the site would say the same.
    static volatile LONG reported = 0;
    if (InterlockedExchange(&reported, 1) == 0)
        tsmb::ReportOutcome(ORVANE_EVENT_LOW_INTEGRITY);
}

DWORD CKeyvoraCtl::MiscStatus() { return kMiscStatus; }

DWORD CKeyvoraCtl::SupportedSafetyOptions() { return kSafetyOptions; }

HRESULT CKeyvoraCtl::Refuse(const char* name, const std::wstring& why)
{
    Trace("SCardAuth:%s: refused (E_ACCESSDENIED): %S", name, why.c_str());
    ctlfw::ComPtr<ICreateErrorInfo> info;
    ctlfw::ComPtr<IErrorInfo> error;
    if (SUCCEEDED(CreateErrorInfo(info.Put())) && SUCCEEDED(info.As(IID_IErrorInfo, error))) {
        info->SetGUID(IID_IKeyvoraCtl);
        info->SetSource(const_cast<LPOLESTR>(L"Keyvora.KeyvoraCtl.1"));
        info->SetDescription(const_cast<LPOLESTR>(why.c_str()));
        SetErrorInfo(0, error.Get());
    }
    return E_ACCESSDENIED;
}

STDMETHODIMP CKeyvoraCtl::get_AuthSCardPin(BSTR* pin)
{
    if (!pin)
        return E_POINTER;
    *pin = nullptr;
    if (!PageAllowed())
        return Refuse("CKeyvoraCtl::get_AuthSCardPin", m_pageRefusal);
    try {
        // A control whose last PIN could not be stored holds none: it reads as empty.
        if (!m_pinSecret) {
            *pin = SysAllocString(L"");
            return *pin ? S_OK : E_OUTOFMEMORY;
        }
        ScopedSecretUnlock unlocked(*m_pinSecret);
        *pin = SysAllocString(static_cast<const wchar_t*>(unlocked.Plaintext()));
        unlocked.Lock();
    } catch (const std::exception&) {
        SysFreeString(*pin);
        *pin = nullptr;
        return E_FAIL;
    }
    return *pin ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CKeyvoraCtl::put_AuthSCardPin(BSTR pin)
{
    static const char kName[] = "CKeyvoraCtl::put_AuthSCardPin";
    if (!PageAllowed())
        return Refuse(kName, m_pageRefusal);
    wchar_t empty[1] = {L'\0'};
    void* data = empty;
    DWORD size = sizeof(empty);
    if (!pin)
        Trace("SCardAuth:%s: no smart card PIN submitted (empty)", kName);
    else if (SysStringByteLen(pin) == 0)
        Trace("SCardAuth:%s: empty smart card PIN submitted", kName);
    else {
        data = pin;
        size = SysStringByteLen(pin) + sizeof(wchar_t);
    }
    m_pinSecret.reset();
    try {
        // The store takes the bytes and zeroes the source, the page's string included.
        m_pinSecret = std::make_shared<SecretKeeper>(data, size, kPinSecretFlags);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return StoreFailure();
    }
    return S_OK;
}

STDMETHODIMP CKeyvoraCtl::ReadHttpDataFromUrl(BSTR url, BSTR httpRequest, BSTR httpRequestBody, BSTR* httpData)
{
    static const char kName[] = "CKeyvoraCtl::ReadHttpDataFromUrl";
    if (!httpData)
        return E_POINTER;
    *httpData = nullptr;  // a failed call hands the page no stale pointer
    if (!PageAllowed())
        return Refuse(kName, m_pageRefusal);
    // A handler that releases the page's last reference inside the exchange (a modal loop)
    // must not delete the control under this call.
    const ctlfw::ComPtr<IUnknown> self(ControllingUnknown());
    try {
        std::wstring urlText, verb, bodyText;
        if (url) {
            urlText = url;
        } else {
            Trace("SCardAuth:%s: no URL submitted (empty)", kName);
        }
        if (httpRequest) {
            verb = httpRequest;
        } else {
            Trace("SCardAuth:%s: no httpRequest submitted (use 'GET' by default)", kName);
            verb = L"GET";
        }
        if (httpRequestBody) {
            bodyText.assign(httpRequestBody, SysStringLen(httpRequestBody));
        } else {
            Trace("SCardAuth:%s: no httpRequestBody sumbitted (empty)", kName);
        }
        Trace("SCardAuth:%s: called with url: %S httpRequest: %S httpRequestBody: %S", kName, urlText.c_str(), verb.c_str(),
              bodyText.c_str());
        // Refused before anything is sent, like any failed exchange: last error and event 8.
        const bool badVerb = httpRequest && !IsMethodToken(httpRequest);
        if (badVerb || (url && HasLineBreakOrNul(url))) {
            Trace("SCardAuth:%s: failed: invalid %s => ERROR_INVALID_PARAMETER", kName,
                  badVerb ? "httpRequest (not an HTTP method token of 1 to 32 characters)" : "URL (CR, LF or NUL in it)");
            m_readHttpDataFromUrlLastError = ERROR_INVALID_PARAMETER;
            ReportExchangeFailure(ERROR_INVALID_PARAMETER);
            return E_INVALIDARG;
        }
        const std::string body = tsmb::Utils::UnicodeToANSIWhole(bodyText);
        const SCardAuthReader reader = m_state->GetActiveReader();
        if (reader.name.empty()) {
            Trace("SCardAuth:%s: failed: missing active reader", kName);
            throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
        }
        // A control whose last PIN could not be stored holds none: sending without the page's
        // PIN would look like success to the page, so the call fails instead.
        const std::shared_ptr<SecretKeeper> pinSecret = m_pinSecret;
        if (!pinSecret) {
            Trace("SCardAuth:%s: failed: no PIN store (the last PIN could not be stored)", kName);
            throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
        }
        // The call takes its own copy of the PIN and locks the store again before the exchange:
        // a handler that runs inside it (a modal loop) reads the PIN or starts a request as a
        // page may, and the plaintext lives for as short a time as possible.
        std::unique_ptr<SCardAuthCommunicator> communicator;
        {
            ScopedSecretUnlock unlocked(*pinSecret);
            const wchar_t* pin = static_cast<const wchar_t*>(unlocked.Plaintext());
            communicator.reset(new SCardAuthCommunicator(reader, pin && pin[0] != L'\0' ? pin : nullptr, this, true));
            unlocked.Lock();
        }
        std::string data;
        m_readHttpDataFromUrlLastError = communicator->ReadHttpDataFromURL(urlText, L"", body, verb, data);
        const std::wstring refusedServer = communicator->RefusedOrigin();
        communicator.reset();
        if (!refusedServer.empty()) {
            ReportExchangeFailure(m_readHttpDataFromUrlLastError);
            return Refuse(kName, L"AllowedSites does not list the server " + refusedServer);
        }
        const std::wstring wide = tsmb::Utils::ANSIToUnicodeWhole(data);
        *httpData = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!*httpData)
            throw std::bad_alloc();
        ReportExchangeFailure(m_readHttpDataFromUrlLastError, reader.name);
        return S_OK;
    } catch (const std::bad_alloc& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kName, e.what());
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kName, e.what());
        return E_FAIL;
    }
}

void CKeyvoraCtl::ReportExchangeFailure(ULONG status, const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::ReadHttpDataFromUrl";
    if (status == 0)
        return;
    SCardAuthEventType type;
    switch (status) {
    case static_cast<ULONG>(SEC_E_SMARTCARD_CERT_EXPIRED):
        Trace("SCardAuth:%s: calling PostMessage with SCardAuthEventDefaultCertOnCardExpired ctlHwnd: %08X", kName,
              HandleText(m_hWnd));
        type = SCardAuthEventDefaultCertOnCardExpired;
        break;
    case static_cast<ULONG>(SEC_E_SMARTCARD_CERT_REVOKED):
        Trace("SCardAuth:%s: calling PostMessage with SCardAuthEventDefaultCertOnCardRevoked ctlHwnd: %08X", kName,
              HandleText(m_hWnd));
        type = SCardAuthEventDefaultCertOnCardRevoked;
        break;
    case static_cast<ULONG>(SCARD_W_WRONG_CHV):
        Trace("SCardAuth:%s: calling PostMessage with SCardAuthEventInvalidPIN ctlHwnd: %08X", kName, HandleText(m_hWnd));
        type = SCardAuthEventInvalidPIN;
        break;
    case static_cast<ULONG>(SCARD_W_CHV_BLOCKED):
        Trace("SCardAuth:%s: calling PostMessage with SCardAuthEventSmartCardBlocked ctlHwnd: %08X", kName,
              HandleText(m_hWnd));
        type = SCardAuthEventSmartCardBlocked;
        tsmb::ReportOutcome(ORVANE_EVENT_CARD_BLOCKED, {reader});
        break;
    default:
        Trace("SCardAuth:%s: calling PostMessage with SCardAuthEventUnknownFailure status: %08X ctlHwnd: %08X", kName, status,
              HandleText(m_hWnd));
        type = SCardAuthEventUnknownFailure;
        break;
    }
    if (!m_state->PostToWindow(WM_REPORT_SCARD_EVENT, static_cast<WPARAM>(type),
                               static_cast<LPARAM>(static_cast<LONG>(status))))
        Trace("SCardAuth:%s: the control window is gone => event not posted", kName);
}

STDMETHODIMP CKeyvoraCtl::get_ReadHttpDataFromUrlLastError(ULONG* lastError)
{
    if (!lastError)
        return E_POINTER;
    if (!PageAllowed())
        return Refuse("CKeyvoraCtl::get_ReadHttpDataFromUrlLastError", m_pageRefusal);
    Trace("SCardAuth:%s: executing... readHttpDataFromUrlLastError: %ld", "CKeyvoraCtl::get_ReadHttpDataFromUrlLastError",
          m_readHttpDataFromUrlLastError);
    *lastError = m_readHttpDataFromUrlLastError;
    return S_OK;
}

STDMETHODIMP CKeyvoraCtl::get_LastReportedSCardEventType(LONG* eventType)
{
    if (!eventType)
        return E_POINTER;
    if (!PageAllowed())
        return Refuse("CKeyvoraCtl::get_LastReportedSCardEventType", m_pageRefusal);
    *eventType = m_lastReportedSCardEventType;
    return S_OK;
}

STDMETHODIMP CKeyvoraCtl::get_LastReportedSCardEventStatus(LONG* status)
{
    if (!status)
        return E_POINTER;
    if (!PageAllowed())
        return Refuse("CKeyvoraCtl::get_LastReportedSCardEventStatus", m_pageRefusal);
    *status = m_lastReportedSCardEventStatus;
    return S_OK;
}

STDMETHODIMP CKeyvoraCtl::InterfaceSupportsErrorInfo(REFIID iid)
{
    return IsEqualIID(iid, IID_IKeyvoraCtl) ? S_OK : S_FALSE;
}

STDMETHODIMP CKeyvoraCtl::SetClientSite(IOleClientSite* site)
{
    static const char kName[] = "CKeyvoraCtl::SetClientSite";
    Trace("SCardAuth:%s: executing...", kName);
    const std::wstring url = site ? PageUrl(site) : std::wstring();
    if (!url.empty())
        Trace("SCardAuth:%s: current URL is: %S", kName, url.c_str());
    if (m_siteLock.IsOn()) {
        SiteOrigin origin;
        m_pageListed = false;
        if (!site)
            m_pageRefusal = L"the control has no page (no client site)";
        else if (url.empty())
            m_pageRefusal = L"the control's site gives no page URL";
        else if (!ParseSiteOrigin(url, origin))
            m_pageRefusal = L"the page's URL has no http or https origin";
        else if (!(m_pageListed = m_siteLock.Allows(origin)))
            m_pageRefusal = L"AllowedSites does not list the page " + origin.Text();
        if (m_pageListed)
            Trace("SCardAuth:%s: site lock: the page %S is listed", kName, origin.Text().c_str());
        else {
            Trace("SCardAuth:%s: site lock: page refused: %S", kName, m_pageRefusal.c_str());
            // Leaving the page (no site) is no refusal worth the administrator's time.
            if (site)
                tsmb::ReportOutcome(ORVANE_EVENT_PAGE_REFUSED, {m_pageRefusal});
        }
    }
    return OleObjectImpl::SetClientSite(site);
}

STDMETHODIMP CKeyvoraCtl::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled)
{
    if (!PageAllowed()) {
        Trace("SCardAuth:%s: refused (not safe for this page): %S", "CKeyvoraCtl::SetInterfaceSafetyOptions",
              m_pageRefusal.c_str());
        return E_FAIL;
    }
    return ObjectSafetyImpl::SetInterfaceSafetyOptions(iid, mask, enabled);
}

HRESULT CKeyvoraCtl::OnDrawAdvanced(const ctlfw::DrawInfo&)
{
    Trace("SCardAuth:%s: executing...", "CKeyvoraCtl::OnDrawAdvanced");
    return S_OK;
}

bool CKeyvoraCtl::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    BOOL handled = TRUE;
    switch (message) {
    case WM_CREATE:
        result = OnCreate();
        return true;
    case WM_DESTROY:
        result = OnDestroy();
        return true;
    case WM_REPORT_SCARD_EVENT:
        result = OnReportSCardEvent(message, wParam, lParam, handled);
        return handled != FALSE;
    default:
        return ControlBase::ProcessWindowMessage(message, wParam, lParam, result);
    }
}

LRESULT CKeyvoraCtl::OnCreate()
{
    static const char kName[] = "CKeyvoraCtl::OnCreate";
    Trace("SCardAuth:%s: executing... hWnd: 0x%08X", kName, HandleText(m_hWnd));
    const ULONG generation = m_state->AttachWindow(m_hWnd);
    if (!PageAllowed()) {
        Trace("SCardAuth:%s: the page is refused => no card monitor (%S)", kName, m_pageRefusal.c_str());
        return 0;
    }
    try {
        m_monitoringThread = RefPtr<SCardAuthMonitoringThread>(new SCardAuthMonitoringThread(m_hWnd, m_state, generation));
        m_monitoringThread->Start();
        if (!std::exchange(m_watchingCards, true))
            SCardAuthCardSession::Process().MonitorStarted();
        m_monitoringThread->EnableMonitoring();
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed while creating/starting SCardAuthMonitoringThread with exception: %s", kName,
              e.what());
    }
    return 0;
}

LRESULT CKeyvoraCtl::OnDestroy()
{
    static const char kName[] = "CKeyvoraCtl::OnDestroy";
    Trace("SCardAuth:%s: executing...", kName);
    // From here on no monitor posts to this window or names an active reader.
    m_state->DetachWindow();
    try {
        if (m_monitoringThread) {
            m_monitoringThread->RequestStop();
            m_monitoringThread->WaitForStop();
        }
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed while stopping SCardAuthMonitoringThread with exception: %s", kName, e.what());
        // The worker still runs and uses its object: one reference that is never released
        // keeps it (and, with it, the shared state) alive. The module stays loaded anyway.
        if (m_monitoringThread)
            m_monitoringThread->AddRef();
    }
    // This control's monitor watches no more (its stop may even have timed out): if it was the
    // process's last, the card's session ends now rather than outlive what watched it.
    if (std::exchange(m_watchingCards, false))
        SCardAuthCardSession::Process().MonitorStopped(kName);
    return 0;
}

LRESULT CKeyvoraCtl::OnReportSCardEvent(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled)
{
    Trace("SCardAuth:%s: executing... going to call Fire_ReportSCardEvent", "CKeyvoraCtl::OnReportSCardEvent");
    const LONG eventType = static_cast<LONG>(wParam);
    const LONG status = static_cast<LONG>(lParam);
    // A page that the control was moved to, and the lock does not list, hears nothing.
    if (!PageAllowed()) {
        Trace("SCardAuth:%s: the page is refused => event %ld not fired", "CKeyvoraCtl::OnReportSCardEvent", eventType);
        return 0;
    }
    // A handler may remove the control from its page: the last release must not come while
    // the firing still reads the connection point and then writes the pair.
    const ctlfw::ComPtr<IUnknown> self(ControllingUnknown());
    const ULONG event = ++m_eventsFired;
    // Fired before the pair is updated: a handler that reads the properties sees the previous event.
    Fire_ReportSCardEvent(eventType, status);
    // An event fired inside this one (a handler's modal loop) is newer: it keeps the pair.
    if (event == m_eventsFired) {
        m_lastReportedSCardEventStatus = status;
        m_lastReportedSCardEventType = eventType;
    }
    handled = TRUE;
    return 0;
}

void CKeyvoraCtl::SetActiveReader(const std::wstring& reader) { m_state->SetActiveReader(SCardAuthReader{reader, 0}); }

std::wstring CKeyvoraCtl::GetActiveReader() { return m_state->GetActiveReader().name; }

bool CKeyvoraCtl::IsActiveCard(const SCardAuthReader& reader) { return m_state->GetActiveReader() == reader; }


void CKeyvoraCtl::SetAuthenticationReaderInVolatileRegistry(const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::SetAuthenticationReaderInVolatileRegistry";
    Trace("SCardAuth:%s: executing...", kName);
    try {
        const REGSAM view = tsmb::GetRegistryViewFlag();
        RefPtr<tsmb::RegistryKey> parent(new tsmb::RegistryKey(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey,
                                                                KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | view));
        Trace("SCardAuth:%s: opened HKCU\\SOFTWARE\\Tessam\\Orvane key", kName);
        std::vector<std::wstring> names;
        parent->EnumerateSubkeyNames(names);
        bool found = false;
        for (const std::wstring& name : names) {
            if (name == tsmb::HandOffKey::kSubkey) {
                found = true;
                break;
            }
        }
        RefPtr<tsmb::RegistryKey> key;
        if (found) {
            Trace("SCardAuth:%s: HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key already present => open key", kName);
            key = new tsmb::RegistryKey(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, KEY_SET_VALUE | view);
            Trace("SCardAuth:%s: opened HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key", kName);
        } else {
            Trace("SCardAuth:%s: HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key absent => create key", kName);
            RefPtr<tsmb::SecurityAttributes> attributes(new tsmb::SecurityAttributes(false));
            DWORD disposition = 0;
            key = parent->CreateSubkey(tsmb::HandOffKey::kSubkey, REG_OPTION_VOLATILE, KEY_SET_VALUE | view, attributes,
                                       disposition);
            Trace("SCardAuth:%s: created HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth key", kName);
        }
        key->SetStringValue(tsmb::HandOffKey::kValue, reader);
        Trace("SCardAuth:%s: added AuthenticationReader value: \"%S\" to HKCU\\SOFTWARE\\Tessam\\Orvane\\SCardAuth "
              "subkey",
              kName, reader.c_str());
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: setting authentication reader name in volatile HKCU registry failed with exception: %s => "
              "ignore (best effort)",
              kName, e.what());
        // The request still succeeds, but the next removal of this card will not disconnect:
        // that is the administrator's business.
        const tsmb::Win32Error* platform = dynamic_cast<const tsmb::Win32Error*>(&e);
        tsmb::ReportOutcome(ORVANE_EVENT_HANDOFF_FAILED,
                            {reader, std::to_wstring(platform ? platform->GetErrorCode() : ERROR_INTERNAL_ERROR)});
    }
}

void CKeyvoraCtl::ClearAuthenticationReaderInVolatileRegistry(const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::ClearAuthenticationReaderInVolatileRegistry";
    Trace("SCardAuth:%s: executing...", kName);
    try {
        // Only this request's own record goes: another tab's request may have written since.
        tsmb::HandOffKey key(KEY_QUERY_VALUE | KEY_SET_VALUE);
        if (key.EmptyIfItNames(reader))
            Trace("SCardAuth:%s: cleared AuthenticationReader value (it named \"%S\")", kName, reader.c_str());
        else
            Trace("SCardAuth:%s: AuthenticationReader does not name \"%S\" any more => left as it is", kName,
                  reader.c_str());
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s => ignore (best effort)", kName, e.what());
    }
}
