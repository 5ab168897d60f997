#include "ClassFactory.h"

#include <new>
#include <stdexcept>

#include "ComObject.h"
#include "Module.h"

namespace ctlfw {

HRESULT HResultFromCurrentException()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A factory held by a client keeps the module loaded, like the objects it makes.
ClassFactory::ClassFactory(const ClassObjectEntry& entry) : m_entry(entry) { Module::Lock(); }

ClassFactory::~ClassFactory() { Module::Unlock(); }

STDMETHODIMP ClassFactory::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() { return InterlockedIncrement(&m_refs); }

STDMETHODIMP_(ULONG) ClassFactory::Release()
{
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return refs;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    return m_entry.create(outer, iid, out);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock)
{
    if (lock)
        Module::Lock();
    else
        Module::Unlock();
    return S_OK;
}

HRESULT GetClassObject(const ClassObjectEntry* table, REFCLSID clsid, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const ClassObjectEntry* row = table; row->clsid; ++row) {
        if (!IsEqualCLSID(clsid, *row->clsid))
            continue;
        ClassFactory* factory = new (std::nothrow) ClassFactory(*row);
        if (!factory)
            return E_OUTOFMEMORY;
        factory->AddRef();
        const HRESULT hr = factory->QueryInterface(iid, out);
        factory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace ctlfw
