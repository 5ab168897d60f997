#pragma once
// What every interface of an ActiveX control shares: the sites the container gave it, its
// extent and position, its activation state, and its window. The interface implementations
// derive from it virtually, so one object holds one copy. Activation is always windowed: a
// container's offer of windowless activation is never taken.
#include <ocidl.h>
#include <ole2.h>

#include "ComObject.h"
#include "ComPtr.h"

namespace ctlfw {

struct DrawInfo {
    HDC dc;
    RECT bounds;
    DWORD aspect;
};

class ControlBase : public virtual ObjectIdentity {
public:
    HWND WindowHandle() const { return m_hWnd; }
    bool IsInPlaceActive() const { return m_inPlaceActive; }
    bool IsUIActive() const { return m_uiActive; }

protected:
    ControlBase() = default;
    ~ControlBase() override;

    // ---- Declarations of the control class ----
    virtual const CLSID& ClassId() = 0;
    virtual DWORD MiscStatus() = 0;
    virtual const wchar_t* WindowClassName() = 0;
    virtual DWORD WindowStyle() { return WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN; }
    // The control's message map: true when it handled the message (result is then returned).
    // The default paints through OnDrawAdvanced; everything else goes to DefWindowProc.
    virtual bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    virtual HRESULT OnDrawAdvanced(const DrawInfo& info);

    // ---- Activation, used by the interface implementations ----
    // In-place activates (creating the window) and, for the verbs that ask for it, UI-activates.
    HRESULT ActivateInPlace(LONG verb);
    // UI deactivation first, then the window goes, then the site hears of it.
    HRESULT DeactivateInPlace();
    HRESULT DeactivateUI();
    // Moves the window to the position the container gives.
    HRESULT MoveTo(const RECT& position);
    // Destroys the window if there is one (a derived class calls it from its destructor, so that
    // its own WM_DESTROY handling still runs).
    void DestroyControlWindow();
    void SetDirty(bool dirty) { m_dirty = dirty; }
    // The view's advise sink hears of a change of the view.
    void NotifyViewChange();

    ComPtr<IOleClientSite> m_clientSite;
    ComPtr<IOleInPlaceSite> m_inPlaceSite;
    bool m_siteIsEx = false;  // m_inPlaceSite is an IOleInPlaceSiteEx
    ComPtr<IOleInPlaceFrame> m_frame;
    ComPtr<IOleInPlaceUIWindow> m_document;
    ComPtr<IOleAdviseHolder> m_oleAdviseHolder;
    ComPtr<IDataAdviseHolder> m_dataAdviseHolder;
    ComPtr<IAdviseSink> m_viewAdviseSink;
    DWORD m_viewAdviseAspects = 0;
    DWORD m_viewAdviseFlags = 0;

    HWND m_hWnd = nullptr;
    SIZEL m_extent = {5080, 5080};  // HIMETRIC, two inches square until the container says
    RECT m_position = {};
    bool m_inPlaceActive = false;
    bool m_uiActive = false;
    bool m_dirty = false;
    bool m_persistInitialized = false;
    DWORD m_safetyOptions = 0;
    LONG m_freezeEvents = 0;

private:
    const wchar_t* m_windowClass = nullptr;

    HRESULT CreateControlWindow(HWND parent, const RECT& position);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

}  // namespace ctlfw
