#pragma once
// Shared by the benchmarks that make card-authenticated requests through the hosted control
// against the local test server (start it first: testbed/https/testserver.py start
// <bin>/httpserver <bin>/testcerts): its ports, the prefix made ready (test CA trusted, card
// provider registered), a card with a key, and the one WinINet call Wine lacks.
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <fstream>
#include <string>

#include "BenchStats.h"
#include "ControlHost.h"
#include "ImportHook.h"
#include "StandIn.h"
#include "TestMachine.h"
#include "scardsim.h"

namespace benchexchange {

struct Ports {
    DWORD http = 0, https = 0;
};

// From <bin>\httpserver\ports; zeros when the server was not started.
inline Ports ReadPorts()
{
    Ports ports;
    std::ifstream file(standin::BesideThisProgram(L"httpserver\\ports").c_str());
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, 5, "http=") == 0)
            ports.http = std::stoul(line.substr(5));
        else if (line.compare(0, 6, "https=") == 0)
            ports.https = std::stoul(line.substr(6));
    }
    return ports;
}

// Wine's WinINet cannot attach a client certificate (12009): taken as attached. Hooked in this
// program's import table, where the control's code (linked in) calls it.
inline BOOL WINAPI AcceptClientCertificate(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option == INTERNET_OPTION_CLIENT_CERT_CONTEXT)
        return TRUE;
    return testsupport::RealExport<decltype(&InternetSetOptionW)>(L"wininet.dll", "InternetSetOptionW")(handle, option,
                                                                                                       buffer, length);
}

// A card whose key has a certificate and the PIN "1234" inserted into reader (attached); a
// card inserted again needs its key again.
inline bool InsertCardWithKey(const wchar_t* reader)
{
    SimInsertCard(reader, nullptr, 0, nullptr, L"Orvane Test Card CSP");
    const std::vector<BYTE> der = standin::ReadFileBytes(standin::BesideThisProgram(L"testcerts\\card-alice.der"));
    return SimSetCardKey(reader, "1234", 3, der.data(), static_cast<DWORD>(der.size())) == 0;
}

// The test CA trusted and the card provider registered (as the exchange tests do), and the
// card inserted; false when the prefix cannot be made ready.
inline bool PrepareCard(const wchar_t* reader)
{
    if (!standin::TrustTestCa(standin::BesideThisProgram(L"testcerts\\test-ca.der")) || !standin::RegisterCardProvider())
        return false;
    return InsertCardWithKey(reader);
}


inline void SetPin(keyvoratest::HostedControl& host, const wchar_t* text)
{
    const tsmb::UniqueBstr pin(SysAllocString(text));
    host.Control()->put_AuthSCardPin(pin.Get());
}

// ReadHttpDataFromUrl of url; true when it succeeded (last error 0). data: what it returned.
// returned: the performance counter as the method returned, before its string is copied.
inline bool ReadThroughControl(keyvoratest::HostedControl& host, const std::wstring& url, std::wstring& data,
                               LONGLONG* returned = nullptr)
{
    const tsmb::UniqueBstr u(SysAllocString(url.c_str()));
    BSTR out = nullptr;
    const HRESULT hr = host.Control()->ReadHttpDataFromUrl(u.Get(), nullptr, nullptr, &out);
    if (returned)
        *returned = Now();
    const tsmb::UniqueBstr result(out);
    ULONG lastError = 1;
    host.Control()->get_ReadHttpDataFromUrlLastError(&lastError);
    data.assign(result ? result.Get() : L"", result ? SysStringLen(result.Get()) : 0);
    return SUCCEEDED(hr) && lastError == 0;
}

}  // namespace benchexchange
