#pragma once
// Where the time of one ReadHttpDataFromUrl goes, and how many card operations it makes.
// Phases come from import hooks in this program's import table (the control's code is linked
// in, so its calls go through it): on the page thread, each hooked call starts the phase it
// belongs to, which lasts until a call of another phase; the phases of a request add up to the
// request's whole time. Releases are not hooked: they fall in the phase they end (the close of
// the request in the reads, as in the bare loop). The card operations come from the stand-ins' own counters: the service
// calls of the simulated smart-card service, the calls into the card's providers (the CSP and
// the CNG key storage provider).
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>
#include <winscard.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BenchExchange.h"
#include "BenchStats.h"

namespace benchphases {

enum Phase {
    Arguments,    // the arguments, the PIN's copy, the URL and the site lock
    CardChecks,   // status queries: the card is still the call's
    Acquisition,  // the card's type and provider, the provider's context
    Pin,          // the PIN handed to the card
    Certificate,  // the certificate read from the card and attached to the request
    OpenAndSend,  // WinINet's session, connection and request, the send, the status
    Reads,        // the body's reads (InternetQueryDataAvailable, InternetReadFile), and the close
    HandOff,      // the reader recorded for the shell (registry: read, and written when it differs)
    Conversion,   // the body converted to the page's string
    kPhases
};

// Report keys and what each phase is, in the order of the table.
struct PhaseName {
    const char* key;
    const wchar_t* what;
};
const PhaseName kPhaseNames[kPhases] = {
    {"arguments", L"arguments, PIN copy, URL and site lock"},
    {"checks", L"card checks (status queries)"},
    {"acquisition", L"card type, provider and its context"},
    {"pin", L"PIN to the card"},
    {"certificate", L"certificate read and attached"},
    {"send", L"open and send, to the status"},
    {"reads", L"reads and the close of the request"},
    {"handoff", L"hand-off to the shell"},
    {"conversion", L"conversion to the page's string"},
};

// The stand-ins' counters, in this process.
inline LONG ProviderCalls()
{
    LONG calls = 0;
    for (const auto& counter : {std::make_pair(L"cardcsp.dll", "CardCspCountCalls"),
                                std::make_pair(L"ncrypt.dll", "NCryptStandInCountCalls")}) {
        const HMODULE module = GetModuleHandleW(counter.first);  // not loaded: no calls yet
        if (module == nullptr)
            continue;
        const auto count = reinterpret_cast<LONG(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(module, counter.second)));
        calls += count ? count() : 0;
    }
    return calls;
}

inline LONG ServiceCalls() { return SimCountServiceCalls(); }

// The operations one request made: service calls and provider calls.
struct Operations {
    LONG service = 0;
    LONG provider = 0;
};

// ---- The clock: the current phase and the time each phase took in this request ------------

struct Clock {
    DWORD thread = 0;  // the page thread; 0: not armed
    Phase current = Arguments;
    LONGLONG since = 0;
    LONGLONG spent[kPhases] = {};
    int reads = 0;  // InternetReadFile calls
};
inline Clock& TheClock()
{
    static Clock clock;
    return clock;
}

// A call of the page thread that belongs to phase p: the current phase ends here.
inline void Enter(Phase p)
{
    Clock& c = TheClock();
    if (c.thread == 0 || GetCurrentThreadId() != c.thread)
        return;
    const LONGLONG now = Now();
    c.spent[c.current] += now - c.since;
    c.since = now;
    c.current = p;
}

// ---- The hooks: each enters its phase and passes the call on ---------------------------------

template <class F>
F Real(const wchar_t* dll, const char* name)
{
    return testsupport::RealExport<F>(dll, name);
}

#define BENCH_PASS(phase, dll, name, ...)                                       \
    {                                                                           \
        Enter(phase);                                                           \
        static const auto real = Real<decltype(&name)>(dll, #name);             \
        return real(__VA_ARGS__);                                               \
    }

inline LONG WINAPI PEstablish(DWORD s, LPCVOID a, LPCVOID b, LPSCARDCONTEXT c)
    BENCH_PASS(CardChecks, L"winscard.dll", SCardEstablishContext, s, a, b, c)
inline LONG WINAPI PStatus(SCARDCONTEXT c, DWORD t, LPSCARD_READERSTATEW s, DWORD n)
    BENCH_PASS(CardChecks, L"winscard.dll", SCardGetStatusChangeW, c, t, s, n)
inline LONG WINAPI PListCards(SCARDCONTEXT c, LPCBYTE a, LPCGUID g, DWORD n, LPWSTR o, LPDWORD l)
    BENCH_PASS(Acquisition, L"winscard.dll", SCardListCardsW, c, a, g, n, o, l)
inline LONG WINAPI PProviderName(SCARDCONTEXT c, LPCWSTR n, DWORD p, LPWSTR o, LPDWORD l)
    BENCH_PASS(Acquisition, L"winscard.dll", SCardGetCardTypeProviderNameW, c, n, p, o, l)
inline BOOL WINAPI PAcquire(HCRYPTPROV* p, LPCWSTR c, LPCWSTR n, DWORD t, DWORD f)
    BENCH_PASS(Acquisition, L"advapi32.dll", CryptAcquireContextW, p, c, n, t, f)
inline BOOL WINAPI PSetProvParam(HCRYPTPROV p, DWORD k, const BYTE* d, DWORD f)
    BENCH_PASS(Pin, L"advapi32.dll", CryptSetProvParam, p, k, d, f)
inline BOOL WINAPI PGetUserKey(HCRYPTPROV p, DWORD s, HCRYPTKEY* k)
    BENCH_PASS(Certificate, L"advapi32.dll", CryptGetUserKey, p, s, k)
inline BOOL WINAPI PGetKeyParam(HCRYPTKEY k, DWORD p, BYTE* d, DWORD* l, DWORD f)
    BENCH_PASS(Certificate, L"advapi32.dll", CryptGetKeyParam, k, p, d, l, f)
inline PCCERT_CONTEXT WINAPI PCreateCert(DWORD e, const BYTE* d, DWORD l)
    BENCH_PASS(Certificate, L"crypt32.dll", CertCreateCertificateContext, e, d, l)
inline BOOL WINAPI PSetCertProperty(PCCERT_CONTEXT c, DWORD p, DWORD f, const void* d)
    BENCH_PASS(Certificate, L"crypt32.dll", CertSetCertificateContextProperty, c, p, f, d)
inline HINTERNET WINAPI POpen(LPCWSTR a, DWORD t, LPCWSTR p, LPCWSTR b, DWORD f)
    BENCH_PASS(OpenAndSend, L"wininet.dll", InternetOpenW, a, t, p, b, f)
inline HINTERNET WINAPI PConnect(HINTERNET h, LPCWSTR s, INTERNET_PORT p, LPCWSTR u, LPCWSTR w, DWORD v, DWORD f,
                                 DWORD_PTR c) BENCH_PASS(OpenAndSend, L"wininet.dll", InternetConnectW, h, s, p, u, w, v, f, c)
inline HINTERNET WINAPI POpenRequest(HINTERNET h, LPCWSTR v, LPCWSTR o, LPCWSTR r, LPCWSTR f, LPCWSTR* a, DWORD l,
                                     DWORD_PTR c)
    BENCH_PASS(OpenAndSend, L"wininet.dll", HttpOpenRequestW, h, v, o, r, f, a, l, c)
inline BOOL WINAPI PSend(HINTERNET r, LPCWSTR h, DWORD hl, LPVOID b, DWORD bl)
    BENCH_PASS(OpenAndSend, L"wininet.dll", HttpSendRequestW, r, h, hl, b, bl)
inline BOOL WINAPI PAvailable(HINTERNET r, LPDWORD a, DWORD f, DWORD_PTR c)
    BENCH_PASS(Reads, L"wininet.dll", InternetQueryDataAvailable, r, a, f, c)
inline BSTR WINAPI PAllocString(const OLECHAR* s, UINT l) BENCH_PASS(Conversion, L"oleaut32.dll", SysAllocStringLen, s, l)
inline int WINAPI PToWide(UINT p, DWORD f, LPCCH s, int sl, LPWSTR o, int ol)
    BENCH_PASS(Conversion, L"kernel32.dll", MultiByteToWideChar, p, f, s, sl, o, ol)

// The hand-off's value, through the key the control keeps open.
inline LONG WINAPI PQueryValue(HKEY k, LPCWSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD c)
    BENCH_PASS(HandOff, L"advapi32.dll", RegQueryValueExW, k, n, r, t, d, c)
inline LONG WINAPI PSetValue(HKEY k, LPCWSTR n, DWORD r, DWORD t, const BYTE* d, DWORD c)
    BENCH_PASS(HandOff, L"advapi32.dll", RegSetValueExW, k, n, r, t, d, c)

#undef BENCH_PASS

inline BOOL WINAPI PRead(HINTERNET r, LPVOID b, DWORD s, LPDWORD n)
{
    Enter(Reads);
    if (TheClock().thread == GetCurrentThreadId())
        ++TheClock().reads;
    static const auto real = Real<decltype(&InternetReadFile)>(L"wininet.dll", "InternetReadFile");
    return real(r, b, s, n);
}

// The machine's keys are settings (the time-out, when a control reads it); the user's, the
// hand-off.
inline LONG WINAPI POpenKey(HKEY k, LPCWSTR n, DWORD o, REGSAM s, PHKEY r)
{
    Enter(k == HKEY_LOCAL_MACHINE ? OpenAndSend : HandOff);
    static const auto real = Real<decltype(&RegOpenKeyExW)>(L"advapi32.dll", "RegOpenKeyExW");
    return real(k, n, o, s, r);
}
inline LONG WINAPI PCreateKey(HKEY k, LPCWSTR n, DWORD r, LPWSTR c, DWORD o, REGSAM s, LPSECURITY_ATTRIBUTES a,
                              PHKEY h, LPDWORD d)
{
    Enter(k == HKEY_LOCAL_MACHINE ? OpenAndSend : HandOff);
    static const auto real = Real<decltype(&RegCreateKeyExW)>(L"advapi32.dll", "RegCreateKeyExW");
    return real(k, n, r, c, o, s, a, h, d);
}

// The client certificate belongs to the certificate; every other option to opening the request.
inline BOOL WINAPI POption(HINTERNET h, DWORD o, LPVOID b, DWORD l)
{
    Enter(o == INTERNET_OPTION_CLIENT_CERT_CONTEXT ? Certificate : OpenAndSend);
    return benchexchange::AcceptClientCertificate(h, o, b, l);
}

// The hooks for as long as it lives (an import the program lacks is left alone).
class Hooks {
public:
    Hooks()
    {
        Add("SCardEstablishContext", &PEstablish);
        Add("SCardGetStatusChangeW", &PStatus);
        Add("SCardListCardsW", &PListCards);
        Add("SCardGetCardTypeProviderNameW", &PProviderName);
        Add("CryptAcquireContextW", &PAcquire);
        Add("CryptSetProvParam", &PSetProvParam);
        Add("CryptGetUserKey", &PGetUserKey);
        Add("CryptGetKeyParam", &PGetKeyParam);
        Add("CertCreateCertificateContext", &PCreateCert);
        Add("CertSetCertificateContextProperty", &PSetCertProperty);
        Add("InternetOpenW", &POpen);
        Add("InternetConnectW", &PConnect);
        Add("HttpOpenRequestW", &POpenRequest);
        Add("HttpSendRequestW", &PSend);
        Add("InternetSetOptionW", &POption);
        Add("InternetQueryDataAvailable", &PAvailable);
        Add("InternetReadFile", &PRead);
        Add("RegOpenKeyExW", &POpenKey);
        Add("RegCreateKeyExW", &PCreateKey);
        Add("RegQueryValueExW", &PQueryValue);
        Add("RegSetValueExW", &PSetValue);
        Add("SysAllocStringLen", &PAllocString);
        Add("MultiByteToWideChar", &PToWide);
    }

private:
    template <class F>
    void Add(const char* name, F* replacement)
    {
        if (testsupport::FindImportSlot(nullptr, nullptr, name))
            m_hooks.emplace_back(new testsupport::ImportHook(nullptr, name, replacement));
    }
    std::vector<std::unique_ptr<testsupport::ImportHook>> m_hooks;
};

// What one request took, phase by phase, and the card operations it made.
struct Measured {
    bool ok = false;
    double whole = 0;
    double phases[kPhases] = {};
    int reads = 0;
    Operations operations;
};

// One ReadHttpDataFromUrl of url through the control, timed by phase (Hooks must be in place).
inline Measured MeasureOne(keyvoratest::HostedControl& host, const std::wstring& url, std::wstring& data)
{
    Measured m;
    Clock& c = TheClock();
    c = Clock();
    const LONG service = ServiceCalls(), provider = ProviderCalls();
    const LONGLONG start = Now();
    c.since = start;
    c.thread = GetCurrentThreadId();
    LONGLONG end = 0;
    m.ok = benchexchange::ReadThroughControl(host, url, data, &end);
    c.spent[c.current] += end - c.since;
    c.thread = 0;
    m.operations.service = ServiceCalls() - service;
    m.operations.provider = ProviderCalls() - provider;
    m.whole = TicksToMicros(end - start);
    for (int p = 0; p < kPhases; ++p)
        m.phases[p] = TicksToMicros(c.spent[p]);
    m.reads = c.reads;
    return m;
}

// "<key>-<phase>: ..." for every phase, "<key>-whole: ..." and "<key>-ops: service S, provider P,
// reads R" (medians over the runs; the counts are the same in every run of a kind).
inline void Report(const char* key, const wchar_t* what, const std::vector<Measured>& runs)
{
    std::vector<double> whole;
    std::vector<int> reads;
    for (const Measured& m : runs) {
        whole.push_back(m.whole);
        reads.push_back(m.reads);
    }
    ReportLatency((std::string(key) + "-whole").c_str(), what, whole);
    for (int p = 0; p < kPhases; ++p) {
        std::vector<double> spent;
        for (const Measured& m : runs)
            spent.push_back(m.phases[p]);
        ReportLatency((std::string(key) + "-" + kPhaseNames[p].key).c_str(), kPhaseNames[p].what, spent);
    }
    if (runs.empty())
        return;
    LONG serviceMin = runs[0].operations.service, serviceMax = serviceMin;
    LONG providerMin = runs[0].operations.provider, providerMax = providerMin;
    for (const Measured& m : runs) {
        serviceMin = std::min(serviceMin, m.operations.service);
        serviceMax = std::max(serviceMax, m.operations.service);
        providerMin = std::min(providerMin, m.operations.provider);
        providerMax = std::max(providerMax, m.operations.provider);
    }
    std::sort(reads.begin(), reads.end());
    ReportValue((std::string(key) + "-ops").c_str(), L"service %ld..%ld, provider %ld..%ld, reads %d", serviceMin,
                serviceMax, providerMin, providerMax, reads[reads.size() / 2]);
}

}  // namespace benchphases
