#include "PersistImpl.h"

namespace ctlfw {

namespace {

// Stream layout: a format version, then the extent.
const DWORD kStreamVersion = 0x00010000;
struct StreamData {
    DWORD version;
    DWORD cx;
    DWORD cy;
};
const wchar_t kContents[] = L"Contents";

HRESULT ReadBagValue(IPropertyBag* bag, IErrorLog* log, const wchar_t* name, LONG& value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    HRESULT hr = bag->Read(name, &v, log);
    if (SUCCEEDED(hr))
        hr = VariantChangeType(&v, &v, 0, VT_UI4);
    if (SUCCEEDED(hr))
        value = static_cast<LONG>(v.ulVal);
    VariantClear(&v);
    return hr;
}

HRESULT WriteBagValue(IPropertyBag* bag, const wchar_t* name, LONG value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = static_cast<ULONG>(value);
    return bag->Write(name, &v);
}

}  // namespace

STDMETHODIMP PersistImpl::GetClassID(CLSID* clsid)
{
    if (!clsid)
        return E_POINTER;
    *clsid = ClassId();
    return S_OK;
}

STDMETHODIMP PersistImpl::InitNew()
{
    if (m_persistInitialized)
        return E_UNEXPECTED;
    m_persistInitialized = true;
    SetDirty(false);
    return S_OK;
}

STDMETHODIMP PersistImpl::Load(LPSTREAM stream)
{
    if (!stream)
        return E_POINTER;
    if (m_persistInitialized)
        return E_UNEXPECTED;
    StreamData data = {};
    ULONG read = 0;
    const HRESULT hr = stream->Read(&data, sizeof(data), &read);
    if (FAILED(hr))
        return hr;
    if (read != sizeof(data) || data.version != kStreamVersion)
        return STG_E_READFAULT;
    m_extent = {static_cast<LONG>(data.cx), static_cast<LONG>(data.cy)};
    m_persistInitialized = true;
    SetDirty(false);
    return S_OK;
}

STDMETHODIMP PersistImpl::Save(LPSTREAM stream, BOOL clearDirty)
{
    if (!stream)
        return E_POINTER;
    const StreamData data = {kStreamVersion, static_cast<DWORD>(m_extent.cx), static_cast<DWORD>(m_extent.cy)};
    ULONG written = 0;
    const HRESULT hr = stream->Write(&data, sizeof(data), &written);
    if (FAILED(hr))
        return hr;
    if (written != sizeof(data))
        return STG_E_WRITEFAULT;
    if (clearDirty)
        SetDirty(false);
    return S_OK;
}

STDMETHODIMP PersistImpl::GetSizeMax(ULARGE_INTEGER* size)
{
    if (!size)
        return E_POINTER;
    size->QuadPart = sizeof(StreamData);
    return S_OK;
}

STDMETHODIMP PersistImpl::InitNew(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    if (m_persistInitialized)
        return CO_E_ALREADYINITIALIZED;
    m_persistInitialized = true;
    SetDirty(false);
    return S_OK;
}

STDMETHODIMP PersistImpl::Load(IStorage* storage)
{
    if (!storage)
        return E_POINTER;
    if (m_persistInitialized)
        return CO_E_ALREADYINITIALIZED;
    ComPtr<IStream> stream;
    const HRESULT hr = storage->OpenStream(kContents, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
    return FAILED(hr) ? hr : Load(stream.Get());
}

STDMETHODIMP PersistImpl::Save(IStorage* storage, BOOL)
{
    if (!storage)
        return E_POINTER;
    ComPtr<IStream> stream;
    const HRESULT hr = storage->CreateStream(kContents, STGM_WRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0,
                                             stream.Put());
    return FAILED(hr) ? hr : Save(stream.Get(), TRUE);
}

STDMETHODIMP PersistImpl::Load(IPropertyBag* bag, IErrorLog* log)
{
    if (!bag)
        return E_POINTER;
    if (m_persistInitialized)
        return E_UNEXPECTED;
    // A missing property keeps its default: a page's <object> often gives neither.
    SIZEL extent = m_extent;
    ReadBagValue(bag, log, L"_cx", extent.cx);
    ReadBagValue(bag, log, L"_cy", extent.cy);
    m_extent = extent;
    m_persistInitialized = true;
    SetDirty(false);
    return S_OK;
}

STDMETHODIMP PersistImpl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL)
{
    if (!bag)
        return E_POINTER;
    HRESULT hr = WriteBagValue(bag, L"_cx", m_extent.cx);
    if (SUCCEEDED(hr))
        hr = WriteBagValue(bag, L"_cy", m_extent.cy);
    if (SUCCEEDED(hr) && clearDirty)
        SetDirty(false);
    return hr;
}

}  // namespace ctlfw
