#include "ConnectionPoint.h"

#include "Enumerator.h"

namespace ctlfw {

SinkSlots::~SinkSlots()
{
    for (IUnknown* sink : m_slots)
        if (sink)
            sink->Release();
}

DWORD SinkSlots::Add(IUnknown* sink)
{
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (!m_slots[i]) {
            m_slots[i] = sink;
            return static_cast<DWORD>(i + 1);
        }
    }
    m_slots.push_back(sink);
    return static_cast<DWORD>(m_slots.size());
}

IUnknown* SinkSlots::Remove(DWORD cookie)
{
    if (cookie == 0 || cookie > m_slots.size())
        return nullptr;
    IUnknown* sink = m_slots[cookie - 1];
    m_slots[cookie - 1] = nullptr;
    return sink;
}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (!iid)
        return E_POINTER;
    *iid = m_iid;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container)
{
    if (!container)
        return E_POINTER;
    *container = &m_container;
    m_container.AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    if (!sink)
        return E_POINTER;
    IUnknown* typed = nullptr;
    if (FAILED(sink->QueryInterface(m_iid, reinterpret_cast<void**>(&typed))) || !typed)
        return CONNECT_E_CANNOTCONNECT;
    try {
        *cookie = m_sinks.Add(typed);
    } catch (const std::bad_alloc&) {
        typed->Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie)
{
    IUnknown* sink = m_sinks.Remove(cookie);
    if (!sink)
        return CONNECT_E_NOCONNECTION;
    sink->Release();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections)
{
    if (!connections)
        return E_POINTER;
    *connections = nullptr;
    std::vector<CONNECTDATA> items;
    try {
        for (size_t i = 0; i < m_sinks.Size(); ++i)
            if (IUnknown* sink = m_sinks.At(i))
                items.push_back(CONNECTDATA{sink, static_cast<DWORD>(i + 1)});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (const CONNECTDATA& item : items)
        AddItemRef(item);
    return ConnectionEnumerator::Create(std::move(items), connections);
}

STDMETHODIMP ConnectionPointContainerImpl::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    if (!points)
        return E_POINTER;
    *points = nullptr;
    std::vector<IConnectionPoint*> items;
    try {
        items.assign(m_points.begin(), m_points.end());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (IConnectionPoint* point : items)
        point->AddRef();
    return ConnectionPointEnumerator::Create(std::move(items), points);
}

STDMETHODIMP ConnectionPointContainerImpl::FindConnectionPoint(REFIID iid, IConnectionPoint** point)
{
    if (!point)
        return E_POINTER;
    *point = nullptr;
    for (ConnectionPoint* candidate : m_points) {
        if (IsEqualIID(iid, candidate->Iid())) {
            *point = candidate;
            candidate->AddRef();
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

}  // namespace ctlfw
