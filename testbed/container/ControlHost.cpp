#include "ControlHost.h"

#include <tlhelp32.h>

#include <stdexcept>

#include "ClassFactory.h"
#include "Module.h"

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
    ctlfw::ComPtr<IUnknown> factory;
    if (FAILED(ctlfw::GetClassObject(kKeyvoraClassObjects, CLSID_KeyvoraCtl, IID_IUnknown,
                                     reinterpret_cast<void**>(factory.Put()))) ||
        FAILED(CoRegisterClassObject(CLSID_KeyvoraCtl, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                     &m_cookie)))
        throw std::runtime_error("cannot register the control's class object");
}

ClassRegistration::~ClassRegistration()
{
    CoRevokeClassObject(m_cookie);
    OleUninitialize();
}

HostedControl::HostedControl(EventSink* sink)
{
    static const BOOL initialized = AtlFunction<AtlAxWinInitFn>("AtlAxWinInit")();
    if (!initialized)
        throw std::runtime_error("AtlAxWinInit failed");
    m_host = CreateWindowExW(0, L"AtlAxWin", L"{9E96B5EC-8318-4927-B026-630DFD86D539}", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                             200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
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
