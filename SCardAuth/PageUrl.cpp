#include "PageUrl.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include "ComPtr.h"

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
