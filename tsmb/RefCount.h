#pragma once
// Intrusive, interlocked reference counting: a fresh object has count 0, the first RefPtr
// makes it 1, and the release that brings it back to 0 deletes through the virtual destructor.
#include <windows.h>

#include <ostream>
#include <utility>

namespace tsmb {

class RefCount {
public:
    RefCount() = default;
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;
    virtual ~RefCount() = default;

    void AddRef() { InterlockedIncrement(&m_refCount); }
    void Release()
    {
        if (InterlockedDecrement(&m_refCount) == 0)
            delete this;
    }

private:
    volatile LONG m_refCount = 0;
};

class Object : public RefCount {
public:
    static constexpr int OBJECT_TYPE = 10001;

    ~Object() override = default;
    virtual int GetObjectType() const { return OBJECT_TYPE; }
    virtual void Dump() const {}
    virtual void Print(std::wostream& out) const { out << static_cast<const void*>(this); }
};

}  // namespace tsmb

template <class T>
class RefPtr {
public:
    RefPtr() = default;
    RefPtr(T* object) : m_object(object) { AddRef(); }  // NOLINT: implicit by design
    RefPtr(const RefPtr& other) : m_object(other.m_object) { AddRef(); }
    RefPtr(RefPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    ~RefPtr() { Release(); }

    RefPtr& operator=(const RefPtr& other) { return Assign(other.m_object); }
    RefPtr& operator=(T* object) { return Assign(object); }
    RefPtr& operator=(RefPtr&& other) noexcept
    {
        if (this != &other) {
            T* old = std::exchange(m_object, std::exchange(other.m_object, nullptr));
            if (old)
                old->Release();
        }
        return *this;
    }

    T* Get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    RefPtr& Assign(T* object)
    {
        if (object != m_object) {
            // Add the new reference before dropping the old one: the old object may own the new.
            if (object)
                object->AddRef();
            T* old = std::exchange(m_object, object);
            if (old)
                old->Release();
        }
        return *this;
    }
    void AddRef()
    {
        if (m_object)
            m_object->AddRef();
    }
    void Release()
    {
        if (m_object)
            std::exchange(m_object, nullptr)->Release();
    }

    T* m_object = nullptr;
};
