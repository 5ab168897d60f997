/* A browser that knows only its location: what a site's service provider hands the control
   as SID_SWebBrowserApp, for the page URL when the container's moniker gives none. Written in
   C so that the interface's other methods can stay empty: nothing but the location is read. */
#include <windows.h>
#include <exdisp.h>

typedef struct {
    IWebBrowser2 iface;
    LONG refs;
    BSTR location;
} BrowserLocation;

static HRESULT STDMETHODCALLTYPE QueryInterface(IWebBrowser2* This, REFIID iid, void** out)
{
    if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IDispatch) || IsEqualIID(iid, &IID_IWebBrowser) ||
        IsEqualIID(iid, &IID_IWebBrowserApp) || IsEqualIID(iid, &IID_IWebBrowser2)) {
        *out = This;
        InterlockedIncrement(&((BrowserLocation*)This)->refs);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE AddRef(IWebBrowser2* This) { return InterlockedIncrement(&((BrowserLocation*)This)->refs); }

static ULONG STDMETHODCALLTYPE Release(IWebBrowser2* This)
{
    BrowserLocation* browser = (BrowserLocation*)This;
    const LONG refs = InterlockedDecrement(&browser->refs);
    if (refs == 0) {
        SysFreeString(browser->location);
        HeapFree(GetProcessHeap(), 0, browser);
    }
    return (ULONG)refs;
}

static HRESULT STDMETHODCALLTYPE GetLocationURL(IWebBrowser2* This, BSTR* location)
{
    *location = SysAllocString(((BrowserLocation*)This)->location);
    return *location ? S_OK : E_OUTOFMEMORY;
}

static IWebBrowser2Vtbl g_vtbl = {
    .QueryInterface = QueryInterface, .AddRef = AddRef, .Release = Release, .get_LocationURL = GetLocationURL};

HRESULT CreateBrowserLocation(const WCHAR* location, IUnknown** out)
{
    BrowserLocation* browser = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*browser));
    if (!browser)
        return E_OUTOFMEMORY;
    browser->iface.lpVtbl = &g_vtbl;
    browser->refs = 1;
    browser->location = SysAllocString(location);
    *out = (IUnknown*)&browser->iface;
    return S_OK;
}
