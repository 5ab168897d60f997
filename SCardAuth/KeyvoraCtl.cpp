#include "KeyvoraCtl.h"

#include <new>
#include <utility>

#include "EventLog.h"
#include "ExchangeEvent.h"
#include "HandOff.h"
#include "KeyvoraArguments.h"
#include "PageUrl.h"
#include "ProtectedMode.h"
#include "RegistryKey.h"
#include "SCardAuthCert.h"
#include "SCardAuthCommunicator.h"
#include "SCardAuthHandOff.h"
#include "SCardAuthKeyStorage.h"
#include "Trace.h"
#include "UniqueHandle.h"
#include "Utils.h"
#include "Win32Error.h"

using ctlfw::InterfaceRow;

namespace {

const DWORD kSafetyOptions = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// A keeper of the empty PIN: the terminator alone.
std::shared_ptr<SecretKeeper> EmptyPinSecret()
{
    wchar_t empty[1] = {L'\0'};
    return std::make_shared<SecretKeeper>(empty, sizeof(empty), kPinSecretFlags);
}

// What a store failure means to the page.
HRESULT StoreFailure()
{
    const DWORD error = GetLastError();
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY || error == ERROR_COMMITMENT_LIMIT
               ? E_OUTOFMEMORY
               : E_FAIL;
}

// The body as the page's string, converted once, straight into the string the page gets: a byte
// gives at most one UTF-16 unit in any code page, so the body's length is enough.
BSTR PageString(const std::string& body)
{
    const UINT size = static_cast<UINT>(body.size());
    tsmb::UniqueBstr text(SysAllocStringLen(nullptr, size));
    if (!text)
        throw std::bad_alloc();
    if (size == 0)
        return text.Release();
    const int chars =
        MultiByteToWideChar(CP_ACP, 0, body.data(), static_cast<int>(size), text.Get(), static_cast<int>(size));
    if (chars <= 0) {
        const DWORD code = GetLastError();
        Trace("SCardAuth:%s:MultiByteToWideChar: failed with last error: %ld", "CKeyvoraCtl::ReadHttpDataFromUrl",
              code);
        throw tsmb::Win32Error(code);
    }
    if (static_cast<UINT>(chars) == size)
        return text.Release();
    // Fewer characters than bytes (a double-byte or UTF-8 code page): the string as long as they.
    BSTR exact = SysAllocStringLen(text.Get(), static_cast<UINT>(chars));
    if (!exact)
        throw std::bad_alloc();
    return exact;
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
    m_requestTimeout = ReadRequestTimeoutSetting();
    // Browser tabs are threads of one process: the shared provider closes with the last control.
    SCardAuthKeyStorage::Process().Acquire(!tsmb::IsWindows5Workstation());
}

CKeyvoraCtl::~CKeyvoraCtl()
{
    // A container that releases the control without deactivating it still gets the monitor
    // stopped: the window's WM_DESTROY is handled while this class is whole.
    DestroyControlWindow();
    m_pinSecret.reset();
    // The card's CNG key goes before the last control closes the shared provider.
    DropCardCertificate();
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

DWORD CKeyvoraCtl::MiscStatus() { return kKeyvoraMiscStatus; }

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
        // The card may have left before the page heard of it.
        ForgetPinIfItsCardLeft();
        // A control whose last PIN could not be stored holds none: it reads as empty.
        if (!m_pinSecret) {
            *pin = SysAllocString(L"");
            return *pin ? S_OK : E_OUTOFMEMORY;
        }
        ScopedSecretUnlock unlocked(*m_pinSecret);
        *pin = SysAllocString(static_cast<const wchar_t*>(unlocked.Plaintext()));
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
    m_pinHeld = false;
    ++m_pinGeneration;
    // What the card verified with the earlier PIN goes with it: the card holds no PIN but the
    // one the page set last.
    DropCardCertificate();
    SCardAuthActiveCard card;
    try {
        card = m_pageCard;
        // The store takes the bytes and zeroes the source, the page's string included.
        m_pinSecret = std::make_shared<SecretKeeper>(data, size, kPinSecretFlags);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception&) {
        return StoreFailure();
    }
    m_pinHeld = data != empty;
    m_pinCard = std::move(card);
    return S_OK;
}

void CKeyvoraCtl::ForgetPinIfItsCardLeft()
{
    // Not the active card (several cards leave it), and gone from its reader, or seen before the
    // monitor lost sight: then its reader and counter prove nothing.
    if (PinIsForAnotherCard(m_state->GetActiveCard()) &&
        !(m_state->IsCurrentWatch(m_pinCard.watch) && SCardAuthCardSession::IsPresent(m_pinCard.card)))
        ForgetPin();
}

bool CKeyvoraCtl::PinIsForAnotherCard(const SCardAuthActiveCard& card) const
{
    return m_pinHeld && !m_pinCard.card.name.empty() && m_pinCard != card;
}

void CKeyvoraCtl::ForgetPin()
{
    if (m_pinCard.card.name.empty())
        Trace("SCardAuth:%s: the PIN was set while no card was active, and the cards changed since => PIN forgotten",
              "CKeyvoraCtl::ForgetPin");
    else
        Trace("SCardAuth:%s: the PIN was set for the card in reader \"%S\", which is not the card in use any more => "
              "PIN forgotten",
              "CKeyvoraCtl::ForgetPin", m_pinCard.card.name.c_str());
    m_pinHeld = false;
    m_pinCard = SCardAuthActiveCard();
    m_pinSecret.reset();
    ++m_pinGeneration;
    // What the card verified with that PIN goes with it.
    DropCardCertificate();
    // Without a store the next request fails rather than go without the page's PIN.
    try {
        m_pinSecret = EmptyPinSecret();
    } catch (const std::exception&) {
    }
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
        const ExchangeArguments arguments = TakeExchangeArguments(kName, url, httpRequest, httpRequestBody);
        // Refused before anything is sent, like any failed exchange: last error and event 8.
        if (const char* refused = RefusedArgument(url, httpRequest)) {
            Trace("SCardAuth:%s: failed: invalid %s => ERROR_INVALID_PARAMETER", kName, refused);
            m_readHttpDataFromUrlLastError = ERROR_INVALID_PARAMETER;
            ReportExchangeOutcome(ERROR_INVALID_PARAMETER);
            return E_INVALIDARG;
        }
        return Exchange(arguments, httpData);
    } catch (const std::bad_alloc& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kName, e.what());
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        Trace("SCardAuth:%s: failed with exception: %s", kName, e.what());
        return E_FAIL;
    }
}

HRESULT CKeyvoraCtl::Exchange(const ExchangeArguments& arguments, BSTR* httpData)
{
    static const char kName[] = "CKeyvoraCtl::ReadHttpDataFromUrl";
    const std::string body = tsmb::Utils::UnicodeToANSIWhole(arguments.body);
    const SCardAuthActiveCard active = m_state->GetActiveCard();
    if (active.card.name.empty()) {
        Trace("SCardAuth:%s: failed: missing active reader", kName);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    if (PinIsForAnotherCard(active))
        ForgetPin();
    else if (m_pinHeld && m_pinCard.card.name.empty())
        m_pinCard = active;
    // A control whose last PIN could not be stored holds none: sending without the page's PIN
    // would look like success to the page, so the call fails instead.
    const std::shared_ptr<SecretKeeper> pinSecret = m_pinSecret;
    if (!pinSecret) {
        Trace("SCardAuth:%s: failed: no PIN store (the last PIN could not be stored)", kName);
        throw tsmb::Win32Error(ERROR_INTERNAL_ERROR);
    }
    const std::shared_ptr<SCardAuthCert> certificate = CardCertificate(active);
    const ULONG pinGeneration = m_pinHeld ? m_pinGeneration : 0;
    std::unique_ptr<SCardAuthCommunicator> communicator;
    if (pinGeneration == 0 || certificate->HoldsPin(pinGeneration)) {
        // No PIN, or one the card holds already: its text is not needed.
        communicator.reset(new SCardAuthCommunicator(active, nullptr, pinGeneration, certificate, this, true));
    } else {
        // The call takes its own copy of the PIN and locks the store again before the exchange: a
        // handler that runs inside it (a modal loop) reads the PIN or starts a request as a page
        // may, and the plaintext lives for as short a time as possible.
        ScopedSecretUnlock unlocked(*pinSecret);
        const wchar_t* pin = static_cast<const wchar_t*>(unlocked.Plaintext());
        const bool given = pin && pin[0] != L'\0';
        communicator.reset(new SCardAuthCommunicator(active, given ? pin : nullptr, given ? pinGeneration : 0,
                                                     certificate, this, true));
    }
    std::string data;
    m_readHttpDataFromUrlLastError = communicator->ReadHttpDataFromURL(arguments.url, L"", body, arguments.verb, data);
    const std::wstring refusedServer = communicator->RefusedOrigin();
    communicator.reset();
    if (!refusedServer.empty()) {
        ReportExchangeOutcome(m_readHttpDataFromUrlLastError);
        return Refuse(kName, L"AllowedSites does not list the server " + refusedServer);
    }
    *httpData = PageString(data);
    ReportExchangeOutcome(m_readHttpDataFromUrlLastError, active.card.name);
    return S_OK;
}

std::shared_ptr<SCardAuthCert> CKeyvoraCtl::CardCertificate(const SCardAuthActiveCard& card)
{
    if (m_cardCertificate && m_cardCertificateFor != card)
        DropCardCertificate();
    // One request at a time uses the kept one: a request made inside another (a modal loop of
    // the provider or of the send) asks the card on its own, so that its failure cannot take
    // the outer one's context and PIN away.
    if (m_cardCertificate && m_cardCertificate.use_count() == 1)
        return m_cardCertificate;
    const RefPtr<SCardAuthState> state = m_state;
    auto certificate =
        std::make_shared<SCardAuthCert>(card.card, [state, card] { return state->GetActiveCard() == card; });
    if (!m_cardCertificate) {
        m_cardCertificate = certificate;
        m_cardCertificateFor = card;
    }
    return certificate;
}

void CKeyvoraCtl::DropCardCertificate()
{
    m_cardCertificate.reset();
    m_cardCertificateFor = SCardAuthActiveCard();
}

void CKeyvoraCtl::DropCardCertificateUnlessActive()
{
    if (m_cardCertificate && m_cardCertificateFor != m_state->GetActiveCard())
        DropCardCertificate();
}

void CKeyvoraCtl::ReportExchangeOutcome(ULONG status, const std::wstring& reader)
{
    static const char kName[] = "CKeyvoraCtl::ReadHttpDataFromUrl";
    const ExchangeEvent event = ExchangeEventFor(status);
    if (!event.posted)
        return;
    if (event.type == SCardAuthEventUnknownFailure)
        Trace("SCardAuth:%s: calling PostMessage with %s status: %08X ctlHwnd: %08X", kName, event.name, status,
              HandleValue(m_hWnd));
    else
        Trace("SCardAuth:%s: calling PostMessage with %s ctlHwnd: %08X", kName, event.name, HandleValue(m_hWnd));
    if (event.type == SCardAuthEventSmartCardBlocked)
        tsmb::ReportOutcome(ORVANE_EVENT_CARD_BLOCKED, {reader});
    if (!m_state->PostToWindow(WM_REPORT_SCARD_EVENT, static_cast<WPARAM>(event.type),
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
    try {
        const std::wstring url = site ? PageUrl(site) : std::wstring();
        if (!url.empty())
            Trace("SCardAuth:%s: current URL is: %S", kName, url.c_str());
        if (m_siteLock.IsOn())
            CheckPage(site, url);
    } catch (const std::exception& e) {
        // Without memory for its URL the page cannot be told listed: it is refused.
        Trace("SCardAuth:%s: failed with exception: %s", kName, e.what());
        m_pageListed = false;
        if (m_siteLock.IsOn())
            return E_OUTOFMEMORY;
    }
    return OleObjectImpl::SetClientSite(site);
}

void CKeyvoraCtl::CheckPage(IOleClientSite* site, const std::wstring& url)
{
    static const char kName[] = "CKeyvoraCtl::SetClientSite";
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
    if (m_pageListed) {
        Trace("SCardAuth:%s: site lock: the page %S is listed", kName, origin.Text().c_str());
        return;
    }
    Trace("SCardAuth:%s: site lock: page refused: %S", kName, m_pageRefusal.c_str());
    // Leaving the page (no site) is no refusal worth the administrator's time.
    if (site)
        tsmb::ReportOutcome(ORVANE_EVENT_PAGE_REFUSED, {m_pageRefusal});
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
    Trace("SCardAuth:%s: executing... hWnd: 0x%08X", kName, HandleValue(m_hWnd));
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
    DropCardCertificate();
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
    // A handler of the event (the next person's card present) finds the last card's PIN gone;
    // a second card put in beside it (several cards) leaves it. A PIN set while no card was
    // active goes at the first change the page hears of after it (the card it was typed for is
    // not known); the state found at the control's start is no change.
    try {
        ForgetPinIfItsCardLeft();
        if (m_pinHeld && m_pinCard.card.name.empty() && m_eventsFired > 0)
            ForgetPin();
        DropCardCertificateUnlessActive();
        m_pageCard = m_state->GetActiveCard();
    } catch (const std::exception&) {
        m_pageCard = SCardAuthActiveCard();
    }
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

std::wstring CKeyvoraCtl::GetActiveReader() { return m_state->GetActiveCard().card.name; }

bool CKeyvoraCtl::IsActiveCard(const SCardAuthActiveCard& card) { return m_state->GetActiveCard() == card; }

bool CKeyvoraCtl::AuthenticationReaderNames(const std::wstring& reader)
{
    try {
        if (!m_handOffKey)
            m_handOffKey.reset(new tsmb::HandOffKey(KEY_QUERY_VALUE));
        return m_handOffKey->Read() == reader;
    } catch (const std::exception&) {
        // Not made yet, deleted, or not a text: the write makes it right.
        m_handOffKey.reset();
        return false;
    }
}

void CKeyvoraCtl::SetAuthenticationReaderInVolatileRegistry(const std::wstring& reader)
{
    WriteAuthenticationReader(reader);
}

void CKeyvoraCtl::ClearAuthenticationReaderInVolatileRegistry(const std::wstring& reader)
{
    EmptyAuthenticationReader(reader);
}
