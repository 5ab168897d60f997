#pragma once
// Owner of one COM interface reference.
#include <unknwn.h>

#include <utility>

namespace ctlfw {

template <class I>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(I* p) : m_p(p) { AddRef(); }  // NOLINT: implicit by design, adds a reference
    ComPtr(const ComPtr& other) : m_p(other.m_p) { AddRef(); }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    I* Get() const { return m_p; }
    I* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out parameters: releases what is held first.
    I** Put()
    {
        Reset();
        return &m_p;
    }
    void Reset()
    {
        if (m_p)
            std::exchange(m_p, nullptr)->Release();
    }
    // Hands the reference to an out parameter (which may be null: then it is dropped).
    HRESULT CopyTo(I** out) const
    {
        if (!out)
            return E_POINTER;
        *out = m_p;
        if (m_p)
            m_p->AddRef();
        return S_OK;
    }
    template <class Other>
    HRESULT As(REFIID iid, ComPtr<Other>& other) const
    {
        return m_p ? m_p->QueryInterface(iid, reinterpret_cast<void**>(other.Put())) : E_POINTER;
    }

private:
    void AddRef()
    {
        if (m_p)
            m_p->AddRef();
    }

    I* m_p = nullptr;
};

}  // namespace ctlfw
