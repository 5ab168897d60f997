#pragma once
// A snapshot enumerator (IEnumConnections, IEnumConnectionPoints): it owns counted copies of
// the items taken when it was made; clones share the snapshot, each with its own position.
#include <ocidl.h>

#include <memory>
#include <vector>

namespace ctlfw {

// How items are copied out (each copy adds a reference) and released.
inline void AddItemRef(IUnknown* item) { item->AddRef(); }
inline void ReleaseItem(IUnknown* item) { item->Release(); }
inline void AddItemRef(const CONNECTDATA& item) { item.pUnk->AddRef(); }
inline void ReleaseItem(const CONNECTDATA& item) { item.pUnk->Release(); }

template <class IEnum, const IID* Iid, class Item>
class Enumerator final : public IEnum {
public:
    // Takes the items without adding references: the caller passes ownership of one each.
    static HRESULT Create(std::vector<Item> items, IEnum** out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        std::shared_ptr<Snapshot> snapshot;
        try {
            snapshot = std::make_shared<Snapshot>();
        } catch (const std::bad_alloc&) {
            for (const Item& item : items)
                ReleaseItem(item);
            return E_OUTOFMEMORY;
        }
        snapshot->items = std::move(items);
        auto* enumerator = new (std::nothrow) Enumerator(std::move(snapshot));
        if (!enumerator)
            return E_OUTOFMEMORY;
        enumerator->AddRef();
        *out = enumerator;
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, *Iid)) {
            *out = static_cast<IEnum*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return refs;
    }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override
    {
        if (!items || (count > 1 && !fetched))
            return E_POINTER;
        ULONG n = 0;
        for (; n < count && m_position < m_snapshot->items.size(); ++n, ++m_position) {
            items[n] = m_snapshot->items[m_position];
            AddItemRef(items[n]);
        }
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        const size_t left = m_snapshot->items.size() - m_position;
        m_position += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnum** out) override
    {
        if (!out)
            return E_POINTER;
        auto* clone = new (std::nothrow) Enumerator(m_snapshot);
        if (!clone) {
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
        clone->m_position = m_position;
        clone->AddRef();
        *out = clone;
        return S_OK;
    }

private:
    struct Snapshot {
        ~Snapshot()
        {
            for (const Item& item : items)
                ReleaseItem(item);
        }
        std::vector<Item> items;
    };

    explicit Enumerator(std::shared_ptr<Snapshot> snapshot) : m_snapshot(std::move(snapshot)) {}
    virtual ~Enumerator() = default;

    volatile LONG m_refs = 0;
    std::shared_ptr<Snapshot> m_snapshot;
    size_t m_position = 0;
};

using ConnectionEnumerator = Enumerator<IEnumConnections, &IID_IEnumConnections, CONNECTDATA>;
using ConnectionPointEnumerator = Enumerator<IEnumConnectionPoints, &IID_IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace ctlfw
