#pragma once
// Persistence through a stream, a storage (its "Contents" stream) or a property bag. The one
// persisted property set is the control's extent, "_cx" and "_cy" (VT_UI4, HIMETRIC).
#include "ControlBase.h"

namespace ctlfw {

class PersistImpl : public IPersistStreamInit,
                    public IPersistStorage,
                    public IPersistPropertyBag,
                    public virtual ControlBase {
public:
    // IPersist
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    // IPersistStreamInit and IPersistStorage
    STDMETHODIMP IsDirty() override { return m_dirty ? S_OK : S_FALSE; }
    // IPersistStreamInit and IPersistPropertyBag
    STDMETHODIMP InitNew() override;
    // IPersistStreamInit
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    // IPersistStorage
    STDMETHODIMP InitNew(IStorage* storage) override;
    STDMETHODIMP Load(IStorage* storage) override;
    STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
    STDMETHODIMP SaveCompleted(IStorage*) override { return S_OK; }
    STDMETHODIMP HandsOffStorage() override { return S_OK; }
    // IPersistPropertyBag
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
};

}  // namespace ctlfw
