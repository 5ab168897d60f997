#pragma once
// Hosts the control as a page would: the platform's own container (atl.dll, window class
// "AtlAxWin") creates it by class id, sets its site and activates it in place; a sink
// connected with AtlAdvise records every ReportSCardEvent.
#include <windows.h>

#include <functional>
#include <vector>

#include "ComPtr.h"
#include "KeyvoraCtl.h"
#include "UniqueHandle.h"

namespace keyvoratest {

struct FiredEvent {
    LONG eventType;
    LONG status;
    DWORD threadId;
    LONG typeSeenInHandler;  // LastReportedSCardEventType read inside the handler
    LONGLONG firedAt;        // performance counter when the sink was called
};

class EventSink final : public IDispatch {
public:
    std::vector<FiredEvent> events;
    IKeyvoraCtl* control = nullptr;  // read from inside the handler when set
    std::function<void()> onEvent;   // runs inside the handler, after the event is recorded

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override;

    ULONG References() const { return m_refs; }

private:
    ULONG m_refs = 0;
};

// Where the hosted control's site says its page is: nowhere (the platform container's own
// site gives no URL), the container's moniker, or the browser's location through the site's
// service provider.
enum class PageFrom { None, Moniker, Browser };

// Registers the control's class object in this process (Wine does not merge per-user classes,
// and the tests want the control's code in-process) and OLE for the container. A control made
// for a page is aggregated in an object that hands it a site with that page's URL.
class ClassRegistration {
public:
    ClassRegistration();
    ~ClassRegistration();

private:
    DWORD m_cookie = 0;
};

class HostedControl {
public:
    // Creates the host window (and so the control); connects the sink when given. With a
    // page, the control's site names that URL as the page's.
    explicit HostedControl(EventSink* sink = nullptr, const wchar_t* page = nullptr, PageFrom from = PageFrom::Moniker);
    ~HostedControl();
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    HWND Host() const { return m_host; }
    IKeyvoraCtl* Control() const { return m_control.Get(); }
    CKeyvoraCtl& Object() const;
    HWND ControlWindow() const;
    // Ends hosting: the container closes the control and releases it.
    void Destroy();
    // For a control made for a page: moves it to another (nullptr with PageFrom::None: a site
    // that gives no URL) in the same container, and activates it there.
    void Resite(const wchar_t* page, PageFrom from);

private:
    HWND m_host = nullptr;
    ctlfw::ComPtr<IKeyvoraCtl> m_control;
    DWORD m_cookie = 0;
    bool m_paged = false;  // aggregated in the object that names its page
};

// The control object behind its scripting interface (the control runs in this process).
CKeyvoraCtl& ObjectOf(IKeyvoraCtl* control);

// What a process holds, to show that repeated work leaves nothing behind.
struct ProcessCounts {
    DWORD handles;
    DWORD threads;
    DWORD userObjects;  // the control's window class, while registered
};
ProcessCounts CurrentProcessCounts();

// Dispatches this thread's messages until done() holds (true) or timeoutMs passed (false).
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);
// Dispatches for a while: to show that nothing (more) arrives.
void PumpFor(DWORD milliseconds);

}  // namespace keyvoratest
