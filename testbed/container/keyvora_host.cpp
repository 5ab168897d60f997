// The demo's kiosk page: hosts Keyvora.dll in the platform's container as a page would,
// prints every card event, sets the PIN, fetches one URL with ReadHttpDataFromUrl and prints
// the data and the reader hand-off, then waits for the card to be pulled. Never shipped.
//
//   keyvora_host <url> <pin> [<seconds to wait for the removal>]
//
// Under Wine, WinINet cannot attach a client certificate (INTERNET_OPTION_CLIENT_CERT_CONTEXT
// fails with 12009): this program takes that one call of Keyvora.dll over by an import hook,
// prints the certificate it was given, and says so.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ControlHost.h"
#include "HandOff.h"
#include "StandIn.h"
#include "TestMachine.h"
#include "ImportHook.h"

using keyvoratest::EventSink;
using keyvoratest::HostedControl;

namespace {

const char* EventName(LONG type)
{
    switch (type) {
    case 0: return "SmartCardAbsent";
    case 1: return "SmartCardPresent";
    case 3: return "DefaultCertOnCardExpired";
    case 4: return "MultipleSmartCardsPresent";
    case 5: return "InvalidPIN";
    case 6: return "SmartCardBlocked";
    case 8: return "UnknownFailure";
    case 9: return "NoSmartCardReader";
    case 10: return "ResourceManagerNotStarted";
    case 11: return "DefaultCertOnCardRevoked";
    default: return "?";
    }
}

std::wstring Beside(const wchar_t* name) { return standin::BesideThisProgram(name); }

BOOL WINAPI StandInSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option == INTERNET_OPTION_END_BROWSER_SESSION)
        printf("host: Keyvora ended the browser's TLS session (INTERNET_OPTION_END_BROWSER_SESSION)\n");
    if (option != INTERNET_OPTION_CLIENT_CERT_CONTEXT)
        return InternetSetOptionW(handle, option, buffer, length);
    const CERT_CONTEXT* certificate = static_cast<const CERT_CONTEXT*>(buffer);
    wchar_t subject[256] = L"?";
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    DWORD size = 0;
    std::vector<BYTE> info;
    if (CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        info.resize(size);
        CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size);
    }
    const CRYPT_KEY_PROV_INFO* record = info.empty() ? nullptr : reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
    printf("host: [stand-in for WinINet, which under Wine cannot attach a client certificate]\n"
           "host:   client certificate \"%ls\" with its key in container \"%ls\" of \"%ls\"\n",
           subject, record ? record->pwszContainerName : L"?", record ? record->pwszProvName : L"?");
    return TRUE;
}

// The test CA in the user's root store, so that WinINet trusts the local server; the card
// provider registered under the names the simulated cards report.
void PrepareMachine()
{
    if (!standin::TrustTestCa(Beside(L"testcerts\\test-ca.der")))
        printf("host: the test CA could not be trusted (error %lu)\n", GetLastError());
    if (!standin::RegisterCardProvider())
        printf("host: the card provider could not be registered\n");
}

// Pumps messages for up to milliseconds, printing each new event; true once done() holds.
template <class Done>
bool PumpAndPrint(EventSink& sink, size_t& printed, DWORD milliseconds, Done done)
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        for (; printed < sink.events.size(); ++printed)
            printf("host: event ReportSCardEvent(%ld %s, status 0x%08lX)\n", sink.events[printed].eventType,
                   EventName(sink.events[printed].eventType), static_cast<unsigned long>(sink.events[printed].status));
        fflush(stdout);
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: keyvora_host <url> <pin> [<seconds to wait for the removal>]\n");
        return 2;
    }
    const DWORD waitMs = argc > 3 ? static_cast<DWORD>(_wtoi(argv[3])) * 1000 : 60000;
    OleInitialize(nullptr);
    PrepareMachine();

    HMODULE keyvora = LoadLibraryW(Beside(L"Keyvora.dll").c_str());
    auto getClassObject = keyvora ? reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
                                        reinterpret_cast<void*>(GetProcAddress(keyvora, "DllGetClassObject")))
                                  : nullptr;
    IUnknown* factory = nullptr;
    DWORD cookie = 0;
    if (!getClassObject || FAILED(getClassObject(CLSID_KeyvoraCtl, IID_IUnknown, reinterpret_cast<void**>(&factory))) ||
        FAILED(CoRegisterClassObject(CLSID_KeyvoraCtl, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
        fprintf(stderr, "host: cannot load Keyvora.dll or its class object\n");
        return 1;
    }
    int exitCode = 0;
    {
        testsupport::ImportHook standIn(keyvora, "InternetSetOptionW", &StandInSetOption);
        EventSink sink;
        HostedControl host(&sink);
        size_t printed = 0;
        printf("host: Keyvora.dll hosted in the platform's container (AtlAxWin)\n");
        PumpAndPrint(sink, printed, 10000, [&] { return !sink.events.empty() && sink.events.back().eventType == 1; });

        BSTR pin = SysAllocString(argv[2]);
        host.Control()->put_AuthSCardPin(pin);  // the control zeroes the page's string
        SysFreeString(pin);
        printf("host: AuthSCardPin set\n");

        BSTR url = SysAllocString(argv[1]), verb = SysAllocString(L"GET"), data = nullptr;
        printf("host: ReadHttpDataFromUrl(\"%ls\", \"GET\", \"\")\n", argv[1]);
        fflush(stdout);
        const HRESULT hr = host.Control()->ReadHttpDataFromUrl(url, verb, nullptr, &data);
        ULONG lastError = 0;
        host.Control()->get_ReadHttpDataFromUrlLastError(&lastError);
        printf("host:   returned 0x%08lX, ReadHttpDataFromUrlLastError %lu, data: \"%ls\"\n",
               static_cast<unsigned long>(hr), lastError, data ? data : L"");
        SysFreeString(url);
        SysFreeString(verb);
        SysFreeString(data);
        wchar_t reader[256] = L"(none)";
        DWORD size = sizeof(reader);
        // Read directly: the foundation's reader would trace a missing value into this output.
        RegGetValueW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, tsmb::HandOffKey::kValue, RRF_RT_REG_SZ, nullptr, reader,
                     &size);
        printf("host:   hand-off for the shell: HKCU\\%ls %ls = \"%ls\"\n", tsmb::HandOffKey::kKey,
               tsmb::HandOffKey::kValue, reader);
        if (FAILED(hr) || lastError != 0)
            exitCode = 1;

        printf("host: waiting for the card to be pulled\n");
        fflush(stdout);
        const size_t before = sink.events.size();
        if (!PumpAndPrint(sink, printed, waitMs, [&] {
                return sink.events.size() > before && sink.events.back().eventType == 0;
            })) {
            printf("host: no removal seen\n");
            exitCode = 1;
        }
        PumpAndPrint(sink, printed, 200, [] { return false; });
    }
    CoRevokeClassObject(cookie);
    factory->Release();
    OleUninitialize();
    printf("host: done\n");
    return exitCode;
}
