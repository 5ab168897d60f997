#pragma once
// Object identity and lifetime: the interface table that drives QueryInterface, the plain
// object (its own reference count) and the aggregated one (an inner unknown with the count;
// every other interface delegates to the outer unknown).
#include <unknwn.h>

#include <new>

#include "Module.h"

namespace ctlfw {

// One row of a class's interface table: the IID and how to reach that interface from the object.
template <class T>
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(T* object);
};

// Builds a row: InterfaceRow<T, IOleObject>(IID_IOleObject). Via picks the base through which
// an interface that several bases share (IDispatch, IPersist, IOleWindow) is reached.
template <class T, class I, class Via = I>
constexpr InterfaceEntry<T> InterfaceRow(const IID& iid)
{
    return {&iid, [](T* object) -> IUnknown* { return static_cast<I*>(static_cast<Via*>(object)); }};
}

// Looks iid up in T::kInterfaces (ended by a row with a null iid); the first row also answers
// IID_IUnknown. The reference is added through the interface found, so an aggregated object
// adds it to its outer unknown.
template <class T>
HRESULT QueryInterfaceFromTable(T* object, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const InterfaceEntry<T>* row = T::kInterfaces; row->iid; ++row) {
        if (IsEqualIID(iid, *row->iid) || (row == T::kInterfaces && IsEqualIID(iid, IID_IUnknown))) {
            IUnknown* found = row->cast(object);
            found->AddRef();
            *out = found;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

// The base every framework object derives from (virtually): what the interface
// implementations need of the object's identity.
class ObjectIdentity {
public:
    virtual ~ObjectIdentity() = default;
    // The unknown that owns the object's identity: its own, or the outer one when aggregated.
    virtual IUnknown* ControllingUnknown() = 0;
};

// Drops one reference of an object that lives in one apartment (no interlocking) and deletes
// it at zero; meanwhile the count stays 1, so a re-entrant AddRef/Release pair during
// destruction does not delete twice.
template <class Object>
ULONG ReleaseAndDelete(Object* object, ULONG& refs)
{
    const ULONG left = --refs;
    if (left == 0) {
        refs = 1;
        delete object;
    }
    return left;
}

// A stand-alone object. T is single-threaded (apartment), so the count needs no interlocking.
template <class T>
class ComObject final : public T {
public:
    ComObject() { Module::Lock(); }
    ~ComObject() override { Module::Unlock(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return QueryInterfaceFromTable<T>(this, iid, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }
    IUnknown* ControllingUnknown() override { return T::kInterfaces[0].cast(this); }

private:
    ULONG m_refs = 0;
};

// The object inside an aggregate: its IUnknown methods are the outer unknown's.
template <class T>
class ContainedObject final : public T {
public:
    explicit ContainedObject(IUnknown* outer) : m_outer(outer) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return m_outer->QueryInterface(iid, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_outer->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_outer->Release(); }
    IUnknown* ControllingUnknown() override { return m_outer; }

    HRESULT InnerQueryInterface(REFIID iid, void** out) { return QueryInterfaceFromTable<T>(this, iid, out); }

private:
    IUnknown* m_outer;  // not counted: the outer object owns us
};

// The inner (non-delegating) unknown of an aggregated object.
template <class T>
class AggregatedObject final : public IUnknown {
public:
    explicit AggregatedObject(IUnknown* outer) : m_contained(outer) { Module::Lock(); }
    virtual ~AggregatedObject() { Module::Unlock(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InnerQueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseAndDelete(this, m_refs); }

private:
    ULONG m_refs = 0;
    ContainedObject<T> m_contained;
};

// Maps what a constructor threw to an HRESULT.
HRESULT HResultFromCurrentException();

// The class factory's work: a new object, plain or aggregated; a constructor that throws
// yields its failure and leaves nothing behind.
template <class T>
HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // An aggregate hands out only its inner unknown to its creator.
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    IUnknown* object = nullptr;
    try {
        if (outer)
            object = new AggregatedObject<T>(outer);
        else
            object = T::kInterfaces[0].cast(new ComObject<T>());
    } catch (...) {
        return HResultFromCurrentException();
    }
    // The count goes 0 -> 1 -> 0 when the interface is refused, which deletes the object.
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace ctlfw
