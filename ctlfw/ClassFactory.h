#pragma once
// Class objects from a table: DllGetClassObject finds the row of the class id and hands out a
// factory that creates that class plain or aggregated.
#include <unknwn.h>

namespace ctlfw {

struct ClassObjectEntry {
    const CLSID* clsid;
    HRESULT (*create)(IUnknown* outer, REFIID iid, void** out);
};

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(const ClassObjectEntry& entry);
    virtual ~ClassFactory();

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    volatile LONG m_refs = 0;
    const ClassObjectEntry& m_entry;
};

// table ends with a row whose clsid is null.
HRESULT GetClassObject(const ClassObjectEntry* table, REFCLSID clsid, REFIID iid, void** out);

}  // namespace ctlfw
