// The smart-card service, its readers and the cards in them: for the administrator's
// information, and a present card's certificate read the way a page's request will need it,
// without a PIN and without a prompt.
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>

#include <vector>

#include "CardHandles.h"
#include "Checks.h"
#include "SCardMemory.h"
#include "UniqueHandle.h"

namespace orvcheck {

namespace {

struct ServiceTraits {
    using Type = SC_HANDLE;
    static BOOL Close(SC_HANDLE handle) { return CloseServiceHandle(handle); }
};

// The service's own signal, as the card monitors wait for it: set while it runs. Asking it
// starts nothing.
bool ServiceRunning()
{
    const HANDLE started = SCardAccessStartedEvent();
    if (!started)
        return false;
    const bool running = WaitForSingleObject(started, 0) == WAIT_OBJECT_0;
    SCardReleaseStartedEvent();
    return running;
}

// Whether the Service Control Manager knows the Smart Card service as disabled; false where it
// does not know it (the test bed's simulated service) or cannot be asked.
bool ServiceDisabled()
{
    const tsmb::UniqueResource<ServiceTraits> manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const tsmb::UniqueResource<ServiceTraits> service(
        manager ? OpenServiceW(manager.Get(), L"SCardSvr", SERVICE_QUERY_CONFIG) : nullptr);
    if (!service)
        return false;
    DWORD size = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &size);
    std::vector<BYTE> config(size ? size : 1);
    auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    return size >= sizeof(*info) && QueryServiceConfigW(service.Get(), info, size, &size) &&
           info->dwStartType == SERVICE_DISABLED;
}

// The multi-string an SCARD_AUTOALLOCATE call returns, copied out; its owner hands the block
// back to the service. result: the call's code.
template <class Call>
std::vector<std::wstring> AutoAllocatedStrings(SCARDCONTEXT context, LONG& result, Call call)
{
    scardm::SCardMemory block;
    DWORD chars = SCARD_AUTOALLOCATE;
    result = call(scardm::AutoAllocated(block, context), &chars);
    std::vector<std::wstring> strings;
    if (result != SCARD_S_SUCCESS) {
        block.Release();  // nothing was allocated
        return strings;
    }
    const wchar_t* text = static_cast<const wchar_t*>(block.Get().block);
    for (DWORD i = 0; text && i < chars && text[i];) {
        strings.emplace_back(text + i);
        i += static_cast<DWORD>(strings.back().size()) + 1;
    }
    return strings;
}

std::wstring Date(const FILETIME& time)
{
    SYSTEMTIME date = {};
    FileTimeToSystemTime(&time, &date);
    wchar_t text[16];
    std::swprintf(text, 16, L"%04u-%02u-%02u", date.wYear, date.wMonth, date.wDay);
    return text;
}

// The certificate of the card's exchange key in reader, or why there is none; warn when it
// cannot be read or is not valid today.
std::wstring DescribeCertificate(const std::wstring& reader, const std::wstring& provider, bool& warn)
{
    CryptProvider crypt;
    const std::wstring container = L"\\\\.\\" + reader + L"\\";
    warn = true;
    if (!CryptAcquireContextW(crypt.Put(), container.c_str(), provider.c_str(), PROV_RSA_FULL, CRYPT_SILENT)) {
        crypt.Release();
        return L"its key provider \"" + provider + L"\" answers " + Hex(GetLastError());
    }
    CryptKey key;
    if (!CryptGetUserKey(crypt.Get(), AT_KEYEXCHANGE, key.Put())) {
        key.Release();
        return L"no exchange key (" + Hex(GetLastError()) + L")";
    }
    DWORD length = 0;
    if (!CryptGetKeyParam(key.Get(), KP_CERTIFICATE, nullptr, &length, 0) || length == 0)
        return L"no certificate";
    std::vector<BYTE> encoded(length);
    if (!CryptGetKeyParam(key.Get(), KP_CERTIFICATE, encoded.data(), &length, 0))
        return L"certificate not readable (" + Hex(GetLastError()) + L")";
    const CertContext certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, encoded.data(), length));
    if (!certificate)
        return L"certificate not readable (" + Hex(GetLastError()) + L")";
    wchar_t subject[256] = {};
    CertGetNameStringW(certificate.Get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    const PCERT_INFO info = certificate.Get()->pCertInfo;
    const LONG validity = CertVerifyTimeValidity(nullptr, info);
    warn = validity != 0;
    const std::wstring named = L"certificate \"" + std::wstring(subject) + L"\"";
    if (validity < 0)
        return named + L" not valid before " + Date(info->NotBefore);
    if (validity > 0)
        return named + L" expired " + Date(info->NotAfter);
    return named + L" valid until " + Date(info->NotAfter);
}

// One reader: empty, or its card's name and certificate.
std::wstring DescribeReader(SCARDCONTEXT context, const SCARD_READERSTATEW& state, bool& warn)
{
    const std::wstring reader = L"\"" + std::wstring(state.szReader) + L"\": ";
    if (!(state.dwEventState & SCARD_STATE_PRESENT))
        return reader + L"no card";
    LONG listed = 0;
    const std::vector<std::wstring> names = AutoAllocatedStrings(context, listed, [&](LPWSTR slot, DWORD* chars) {
        return SCardListCardsW(context, state.rgbAtr, nullptr, 0, slot, chars);
    });
    if (names.empty()) {
        warn = true;
        return reader + L"a card this PC does not know (" + Hex(static_cast<DWORD>(listed)) + L")";
    }
    LONG named = 0;
    const std::vector<std::wstring> provider = AutoAllocatedStrings(context, named, [&](LPWSTR slot, DWORD* chars) {
        return SCardGetCardTypeProviderNameW(context, names.front().c_str(), SCARD_PROVIDER_CSP, slot, chars);
    });
    const std::wstring card = reader + L"card \"" + names.front() + L"\", ";
    if (provider.empty()) {
        warn = true;
        return card + L"no key provider (" + Hex(static_cast<DWORD>(named)) + L")";
    }
    bool certificateWarn = false;
    const std::wstring certificate = DescribeCertificate(state.szReader, provider.front(), certificateWarn);
    warn = warn || certificateWarn;
    return card + certificate;
}

// The readers and their states now (a time-out of 0: never a wait); the service's code.
LONG ReadReaders(SCARDCONTEXT context, std::vector<std::wstring>& readers, std::vector<SCARD_READERSTATEW>& states)
{
    LONG listed = 0;
    readers = AutoAllocatedStrings(context, listed,
                                   [&](LPWSTR slot, DWORD* chars) { return SCardListReadersW(context, nullptr, slot, chars); });
    if (listed != SCARD_S_SUCCESS || readers.empty())
        return listed == SCARD_S_SUCCESS ? SCARD_E_NO_READERS_AVAILABLE : listed;
    states.assign(readers.size(), SCARD_READERSTATEW());
    for (size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    return SCardGetStatusChangeW(context, 0, states.data(), static_cast<DWORD>(states.size()));
}

}  // namespace

Finding CheckSmartCards(const KioskFacts&)
{
    if (ServiceDisabled())
        return Make(Status::Fail, L"the Smart Card service (SCardSvr) is disabled: no card is seen",
                    guide::kBesidesThePackage);
    if (!ServiceRunning())
        return Make(Status::Warn,
                    L"the smart-card service is not running: no reader is watched until it starts (event 1004)",
                    guide::kBesidesThePackage);
    CardContext context;
    const LONG established = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, context.Put());
    if (established != SCARD_S_SUCCESS) {
        context.Release();
        return Make(Status::Warn,
                    L"the smart-card service does not answer (" + Hex(static_cast<DWORD>(established)) + L")",
                    guide::kBesidesThePackage);
    }
    std::vector<std::wstring> readers;
    std::vector<SCARD_READERSTATEW> states;
    const LONG read = ReadReaders(context.Get(), readers, states);
    if (read == SCARD_E_NO_READERS_AVAILABLE)
        return Make(Status::Ok, L"the smart-card service runs; no reader is attached", guide::kBesidesThePackage);
    if (read != SCARD_S_SUCCESS)
        return Make(Status::Warn, L"the smart-card service runs; its readers cannot be read (" +
                                      Hex(static_cast<DWORD>(read)) + L")",
                    guide::kBesidesThePackage);
    bool warn = false;
    std::wstring seen;
    for (const SCARD_READERSTATEW& state : states)
        seen += (seen.empty() ? L"" : L"; ") + DescribeReader(context.Get(), state, warn);
    return Make(warn ? Status::Warn : Status::Ok, L"the smart-card service runs; " + seen, guide::kBesidesThePackage);
}

}  // namespace orvcheck
