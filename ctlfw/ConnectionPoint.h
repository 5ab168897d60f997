#pragma once
// Connection points: one point per outgoing interface, whose sinks sit in a growable array of
// slots (an empty slot stays until a later Advise reuses it; a cookie is its slot number + 1),
// and the container that finds and enumerates the points.
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "ComObject.h"

namespace ctlfw {

class SinkSlots {
public:
    ~SinkSlots();
    // Takes over one reference; returns the cookie.
    DWORD Add(IUnknown* sink);
    // Returns the reference it held, or nullptr for an unknown cookie.
    IUnknown* Remove(DWORD cookie);
    size_t Size() const { return m_slots.size(); }
    // The sink in slot index, or nullptr for an empty slot; no reference is added.
    IUnknown* At(size_t index) const { return index < m_slots.size() ? m_slots[index] : nullptr; }

private:
    std::vector<IUnknown*> m_slots;
};

// A member object of the control; its references are the control's.
class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(const IID& iid, IConnectionPointContainer& container) : m_iid(iid), m_container(container) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return m_container.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_container.Release(); }

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    const IID& Iid() const { return m_iid; }
    const SinkSlots& Sinks() const { return m_sinks; }

private:
    const IID& m_iid;
    IConnectionPointContainer& m_container;
    SinkSlots m_sinks;
};

class ConnectionPointContainerImpl : public IConnectionPointContainer, public virtual ObjectIdentity {
public:
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

protected:
    // Each point is made by the class and lives as long as the object.
    void AddConnectionPoint(ConnectionPoint& point) { m_points.push_back(&point); }

private:
    std::vector<ConnectionPoint*> m_points;
};

}  // namespace ctlfw
