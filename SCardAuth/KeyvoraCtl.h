#pragma once
// The ActiveX control of the desktop-access page: card events to script, the PIN in protected
// memory, and (from the card monitor) the active reader.
#include <memory>
#include <string>

#include "ActivationImpl.h"
#include "ClassFactory.h"
#include "ConnectionPoint.h"
#include "CriticalSection.h"
#include "Dispatch.h"
#include "InPlaceImpl.h"
#include "Keyvora.h"
#include "OleControlImpl.h"
#include "OleObjectImpl.h"
#include "PersistImpl.h"
#include "RefCount.h"
#include "SCardAuthExchangeHost.h"
#include "SCardAuthMonitoringThread.h"
#include "SCardAuthState.h"
#include "SecretStore.h"
#include "SiteLock.h"
#include "ViewObjectImpl.h"

// OLEMISC flags of the control, for its class and its registration alike.
const DWORD kKeyvoraMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                 OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;

struct ExchangeArguments;
class SCardAuthCert;
namespace tsmb {
class HandOffKey;
}

// The event proxy: the one connection point, for _IKeyvoraCtlEvents.
class CProxy_IKeyvoraCtlEvents : public ctlfw::ConnectionPointContainerImpl {
public:
    CProxy_IKeyvoraCtlEvents();
    // Raises ReportSCardEvent on every connected sink; a failing sink does not stop the others.
    HRESULT Fire_ReportSCardEvent(LONG eventType, LONG status);

private:
    ctlfw::ConnectionPoint m_eventsPoint;
};

class CKeyvoraCtl : public ctlfw::DispatchImpl<IKeyvoraCtl, &IID_IKeyvoraCtl>,
                    public ctlfw::PersistImpl,
                    public ctlfw::OleControlImpl,
                    public ctlfw::OleObjectImpl,
                    public ctlfw::InPlaceImpl,
                    public ctlfw::ViewObjectImpl,
                    public ISupportErrorInfo,
                    public CProxy_IKeyvoraCtlEvents,
                    public ctlfw::QuickActivateImpl,
                    public ctlfw::DataObjectImpl,
                    public ctlfw::ProvideClassInfoImpl,
                    public ctlfw::ObjectSafetyImpl,
                    public ctlfw::SpecifyPropertyPagesImpl,
                    public SCardAuthExchangeHost {
public:
    // What QueryInterface answers, in this order.
    static const ctlfw::InterfaceEntry<CKeyvoraCtl> kInterfaces[];

    CKeyvoraCtl();
    ~CKeyvoraCtl() override;

    // IKeyvoraCtl
    STDMETHODIMP get_AuthSCardPin(BSTR* pin) override;
    STDMETHODIMP put_AuthSCardPin(BSTR pin) override;
    STDMETHODIMP ReadHttpDataFromUrl(BSTR url, BSTR httpRequest, BSTR httpRequestBody, BSTR* httpData) override;
    STDMETHODIMP get_ReadHttpDataFromUrlLastError(ULONG* lastError) override;
    STDMETHODIMP get_LastReportedSCardEventType(LONG* eventType) override;
    STDMETHODIMP get_LastReportedSCardEventStatus(LONG* status) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    // IOleObject: traces the hosting page's URL and, with the site lock on, decides whether
    // the page may use the control; then the framework's handling.
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    // IObjectSafety: a page the site lock does not list is told the control is not safe.
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

    // For the HTTP exchange (and tests): the state the card monitor keeps.
    void SetActiveReader(const std::wstring& reader);
    std::wstring GetActiveReader();
    // What the control shares with its monitors and requests.
    const RefPtr<SCardAuthState>& State() const { return m_state; }
    // What an exchange asks of the control.
    bool IsActiveCard(const SCardAuthActiveCard& card) override;
    bool AuthenticationReaderNames(const std::wstring& reader) override;
    void SetAuthenticationReaderInVolatileRegistry(const std::wstring& reader) override;
    // Empties the hand-off value if it still names reader (the card left while it was
    // written); best effort.
    void ClearAuthenticationReaderInVolatileRegistry(const std::wstring& reader) override;
    // The origins pages and requests are held to (off when not configured).
    const SiteLock& GetSiteLock() const override { return m_siteLock; }
    const RequestTimeoutSetting& RequestTimeout() const override { return m_requestTimeout; }

protected:
    const CLSID& ClassId() override { return CLSID_KeyvoraCtl; }
    DWORD MiscStatus() override;
    const wchar_t* WindowClassName() override { return L"KeyvoraCtlWindow"; }
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    HRESULT OnDrawAdvanced(const ctlfw::DrawInfo& info) override;
    const IID& DefaultSourceIid() override { return DIID__IKeyvoraCtlEvents; }
    DWORD SupportedSafetyOptions() override;

private:
    // A control that cannot record the reader says so: in the trace, and once in the Event Log.
    static void ReportLowIntegrity();
    LRESULT OnCreate();
    LRESULT OnDestroy();
    LRESULT OnReportSCardEvent(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    // Whether a PIN is held for a card other than card.
    bool PinIsForAnotherCard(const SCardAuthActiveCard& card) const;
    // Forgets a PIN whose card has left its reader.
    void ForgetPinIfItsCardLeft();
    void ForgetPin();
    // What the control keeps of card for its requests (made when missing); a request made while
    // the card's provider runs gets one of its own.
    std::shared_ptr<SCardAuthCert> CardCertificate(const SCardAuthActiveCard& card);
    // Drops what the control keeps of a card (a request that holds it keeps it until it ends).
    void DropCardCertificate();
    void DropCardCertificateUnlessActive();
    // The exchange after its arguments are taken: the card, the PIN's copy, the request.
    HRESULT Exchange(const ExchangeArguments& arguments, BSTR* httpData);
    // Posts the card event of a finished exchange to the page (none after success); a card
    // blocked by wrong PINs is also written to the Event Log, with its reader.
    void ReportExchangeOutcome(ULONG status, const std::wstring& reader = std::wstring());
    // With the site lock on: whether the page at url may use the control, and why not.
    void CheckPage(IOleClientSite* site, const std::wstring& url);
    // False while the site lock is on and the page is not listed.
    bool PageAllowed() const { return !m_siteLock.IsOn() || m_pageListed; }
    // E_ACCESSDENIED, with error info that says why.
    HRESULT Refuse(const char* name, const std::wstring& why);

    // Shared: a request holds the keeper it unlocked even when a handler sets a new PIN inside
    // the exchange (a modal loop of the card's PIN dialog or a TLS prompt).
    std::shared_ptr<SecretKeeper> m_pinSecret;
    // A PIN is its card's: the card active when the page set it, or, set with none active, the
    // card of its first request. Once that card has left its reader, or its monitor lost sight
    // of the readers, or a request is made with another card, the PIN is forgotten: neither
    // handed to the next card nor read back.
    bool m_pinHeld = false;
    SCardAuthActiveCard m_pinCard;
    // Changes with every PIN the page sets and every PIN forgotten: the card is handed each once.
    ULONG m_pinGeneration = 0;
    // The card's service context, provider context, PIN state and certificate, asked of the card
    // once and kept only while it is the active card (checked at every use, dropped at the first
    // event that shows another, when the PIN is set, cleared or forgotten, and with the window).
    // A running request holds it too: then a request made inside that one gets its own.
    std::shared_ptr<SCardAuthCert> m_cardCertificate;
    SCardAuthActiveCard m_cardCertificateFor;
    // The active card as the page last heard of it (at the last event fired): the monitor may
    // already have moved on while the page still acts on the previous event.
    SCardAuthActiveCard m_pageCard;
    // The active reader, the TLS-authentication flag and the window events go to, shared with
    // the monitors under one lock.
    RefPtr<SCardAuthState> m_state;
    ULONG m_readHttpDataFromUrlLastError = 0;
    LONG m_lastReportedSCardEventType = 255;
    LONG m_lastReportedSCardEventStatus = 0;
    // Events fired so far: a handler that runs a modal loop lets the next event fire inside
    // it, and the pair must end on the newest one.
    ULONG m_eventsFired = 0;
    RefPtr<SCardAuthMonitoringThread> m_monitoringThread;
    // The monitor counts among the process's card monitors (from its start to its stop).
    bool m_watchingCards = false;
    SiteLock m_siteLock;
    // Read when the control is made, like the site lock: a request asks the registry nothing.
    RequestTimeoutSetting m_requestTimeout;
    // The hand-off key, opened once it exists: a request asks only whether its value names the
    // call's reader already.
    std::unique_ptr<tsmb::HandOffKey> m_handOffKey;
    bool m_pageListed = false;
    // Why the page is refused, for the page's error info and the trace.
    std::wstring m_pageRefusal = L"the control has no page (no client site)";
};

// The module's class objects, for DllGetClassObject.
extern const ctlfw::ClassObjectEntry kKeyvoraClassObjects[];
