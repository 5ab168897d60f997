#include "ControlBase.h"

#include "Module.h"

namespace ctlfw {

namespace {

// Windows of all controls of the module; the class is registered while any exists, so an
// unloaded module leaves no class behind that points into it. Controls on several threads
// (browser tabs) share the class: the count and the class's registration change together
// under one lock, so no thread unregisters it between another's check and its CreateWindowExW
// (a window on its way counts from before that check).
LONG g_windows = 0;
SRWLOCK g_windowClassLock = SRWLOCK_INIT;

class WindowClassLock {
public:
    WindowClassLock() { AcquireSRWLockExclusive(&g_windowClassLock); }
    ~WindowClassLock() { ReleaseSRWLockExclusive(&g_windowClassLock); }
    WindowClassLock(const WindowClassLock&) = delete;
    WindowClassLock& operator=(const WindowClassLock&) = delete;
};

// A window of the class is gone (or never came).
void ForgetWindow()
{
    WindowClassLock lock;
    --g_windows;
}

// After the last window of the class is gone, the class goes too.
void UnregisterUnusedWindowClass(const wchar_t* className)
{
    WindowClassLock lock;
    if (g_windows == 0 && className)
        UnregisterClassW(className, Module::Instance());
}

}  // namespace

ControlBase::~ControlBase() { DestroyControlWindow(); }

bool ControlBase::ProcessWindowMessage(UINT message, WPARAM, LPARAM, LRESULT& result)
{
    if (message != WM_PAINT)
        return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    if (dc) {
        DrawInfo info = {dc, {}, DVASPECT_CONTENT};
        GetClientRect(m_hWnd, &info.bounds);
        OnDrawAdvanced(info);
        EndPaint(m_hWnd, &paint);
    }
    result = 0;
    return true;
}

HRESULT ControlBase::OnDrawAdvanced(const DrawInfo&) { return S_OK; }

HRESULT ControlBase::ActivateInPlace(LONG verb)
{
    if (!m_clientSite)
        return E_UNEXPECTED;
    if (!m_inPlaceActive) {
        if (!m_inPlaceSite) {
            ComPtr<IOleInPlaceSiteEx> ex;
            // A window-only control takes the Ex site (if any) but never activates windowless.
            if (SUCCEEDED(m_clientSite.As(IID_IOleInPlaceSiteEx, ex)) && ex) {
                m_inPlaceSite = ex.Get();
                m_siteIsEx = true;
            } else {
                const HRESULT hr = m_clientSite.As(IID_IOleInPlaceSite, m_inPlaceSite);
                if (FAILED(hr))
                    return hr;
                m_siteIsEx = false;
            }
        }
        HRESULT hr = m_inPlaceSite->CanInPlaceActivate();
        if (hr != S_OK)
            return FAILED(hr) ? hr : E_FAIL;
        m_inPlaceActive = true;
        if (m_siteIsEx) {
            BOOL noRedraw = FALSE;
            hr = static_cast<IOleInPlaceSiteEx*>(m_inPlaceSite.Get())->OnInPlaceActivateEx(&noRedraw, 0);
        } else {
            hr = m_inPlaceSite->OnInPlaceActivate();
        }
        if (FAILED(hr)) {
            m_inPlaceActive = false;
            return hr;
        }
    }

    if (!m_hWnd) {
        HWND parent = nullptr;
        RECT position = {}, clip = {};
        OLEINPLACEFRAMEINFO frameInfo = {};
        frameInfo.cb = sizeof(frameInfo);
        m_frame.Reset();
        m_document.Reset();
        HRESULT hr = m_inPlaceSite->GetWindow(&parent);
        if (SUCCEEDED(hr))
            hr = m_inPlaceSite->GetWindowContext(m_frame.Put(), m_document.Put(), &position, &clip, &frameInfo);
        if (SUCCEEDED(hr))
            hr = CreateControlWindow(parent, position);
        if (FAILED(hr)) {
            DeactivateInPlace();
            return hr;
        }
    }

    if ((verb == OLEIVERB_UIACTIVATE || verb == OLEIVERB_SHOW || verb == OLEIVERB_PRIMARY) && !m_uiActive) {
        m_uiActive = true;
        HRESULT hr = m_inPlaceSite->OnUIActivate();
        if (FAILED(hr)) {
            m_uiActive = false;
            return hr;
        }
        ComPtr<IOleInPlaceActiveObject> active;
        ComPtr<IUnknown>(ControllingUnknown()).As(IID_IOleInPlaceActiveObject, active);
        if (m_frame) {
            m_frame->SetActiveObject(active.Get(), nullptr);
            m_frame->SetBorderSpace(nullptr);
        }
        if (m_document) {
            m_document->SetActiveObject(active.Get(), nullptr);
            m_document->SetBorderSpace(nullptr);
        }
    }
    return S_OK;
}

HRESULT ControlBase::DeactivateUI()
{
    if (!m_uiActive)
        return S_OK;
    m_uiActive = false;
    if (m_frame)
        m_frame->SetActiveObject(nullptr, nullptr);
    if (m_document)
        m_document->SetActiveObject(nullptr, nullptr);
    if (m_inPlaceSite)
        m_inPlaceSite->OnUIDeactivate(FALSE);
    return S_OK;
}

HRESULT ControlBase::DeactivateInPlace()
{
    if (!m_inPlaceActive)
        return S_OK;
    DeactivateUI();
    m_inPlaceActive = false;
    DestroyControlWindow();
    m_frame.Reset();
    m_document.Reset();
    if (m_inPlaceSite) {
        if (m_siteIsEx)
            static_cast<IOleInPlaceSiteEx*>(m_inPlaceSite.Get())->OnInPlaceDeactivateEx(TRUE);
        else
            m_inPlaceSite->OnInPlaceDeactivate();
    }
    return S_OK;
}

HRESULT ControlBase::MoveTo(const RECT& position)
{
    m_position = position;
    if (m_hWnd && !SetWindowPos(m_hWnd, nullptr, position.left, position.top, position.right - position.left,
                                position.bottom - position.top, SWP_NOZORDER | SWP_NOACTIVATE))
        return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

void ControlBase::NotifyViewChange()
{
    if (m_viewAdviseSink && (m_viewAdviseAspects & DVASPECT_CONTENT))
        m_viewAdviseSink->OnViewChange(DVASPECT_CONTENT, -1);
}

HRESULT ControlBase::CreateControlWindow(HWND parent, const RECT& position)
{
    const HINSTANCE instance = Module::Instance();
    {
        WindowClassLock lock;
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        // A class left by an earlier load of the module would point into code that is gone.
        if (GetClassInfoExW(instance, WindowClassName(), &wc) && wc.lpfnWndProc != WindowProc)
            UnregisterClassW(WindowClassName(), instance);
        if (!GetClassInfoExW(instance, WindowClassName(), &wc)) {
            wc.cbSize = sizeof(wc);
            wc.style = CS_DBLCLKS;
            wc.lpfnWndProc = WindowProc;
            wc.hInstance = instance;
            wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
            wc.lpszClassName = WindowClassName();
            if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
                return HRESULT_FROM_WIN32(GetLastError());
        }
        ++g_windows;
    }
    m_windowClass = WindowClassName();
    m_position = position;
    // WM_NCCREATE sets m_hWnd, so the handlers of WM_CREATE already see it.
    HWND window = CreateWindowExW(0, WindowClassName(), nullptr, WindowStyle(), position.left, position.top,
                                  position.right - position.left, position.bottom - position.top, parent, nullptr,
                                  instance, this);
    if (!window) {
        const DWORD error = GetLastError();
        m_hWnd = nullptr;
        ForgetWindow();
        UnregisterUnusedWindowClass(WindowClassName());
        return HRESULT_FROM_WIN32(error ? error : ERROR_CANNOT_MAKE);
    }
    return S_OK;
}

void ControlBase::DestroyControlWindow()
{
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    // The class cannot go while a window of it exists, so only after DestroyWindow returned.
    // (The name was kept: from the base destructor the class's declarations are out of reach.)
    UnregisterUnusedWindowClass(m_windowClass);
}

LRESULT CALLBACK ControlBase::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    ControlBase* self;
    if (message == WM_NCCREATE) {
        self = static_cast<ControlBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<ControlBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self)
        return DefWindowProcW(window, message, wParam, lParam);

    LRESULT result = 0;
    bool handled = false;
    try {
        handled = self->ProcessWindowMessage(message, wParam, lParam, result);
    } catch (...) {
        // A message handler is no place for an exception to leave through.
        handled = false;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        ForgetWindow();
    }
    return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace ctlfw
