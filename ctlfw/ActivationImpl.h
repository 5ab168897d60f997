#pragma once
// The smaller interfaces of a control, each answered as far as a container uses it:
// IQuickActivate, IDataObject (advise only), IProvideClassInfo2, IObjectSafety and
// ISpecifyPropertyPages (no pages).
#include <objsafe.h>

#include "ControlBase.h"

namespace ctlfw {

// Does in one call what a container would do in several: site, view advise, event sink.
class QuickActivateImpl : public IQuickActivate, public virtual ControlBase {
public:
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;
};

class DataObjectImpl : public IDataObject, public virtual ControlBase {
public:
    STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override;
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC** formats) override;
    STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) override;
    STDMETHODIMP DUnadvise(DWORD connection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** advise) override;
};

class ProvideClassInfoImpl : public IProvideClassInfo2, public virtual ControlBase {
public:
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

protected:
    virtual const IID& DefaultSourceIid() = 0;
};

class ObjectSafetyImpl : public IObjectSafety, public virtual ControlBase {
public:
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

protected:
    virtual DWORD SupportedSafetyOptions() = 0;
};

class SpecifyPropertyPagesImpl : public ISpecifyPropertyPages, public virtual ControlBase {
public:
    STDMETHODIMP GetPages(CAUUID* pages) override
    {
        if (!pages)
            return E_POINTER;
        pages->cElems = 0;
        pages->pElems = nullptr;
        return S_OK;
    }
};

}  // namespace ctlfw
