#pragma once
// Preparing a Wine prefix for card-authenticated requests: the test CA in the user's root
// store (WinINet checks the local server against it) and the card provider registered under
// the names the simulated cards report; and ending the browser stand-ins a shell started.
// Programs that include this link crypt32 and tsmb.
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "UniqueHandle.h"

namespace standin {

inline std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// False (with the last error) when the certificate cannot be read or stored.
inline bool TrustTestCa(const std::wstring& derPath)
{
    const std::vector<BYTE> ca = ReadFileBytes(derPath);
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    const bool stored = root && !ca.empty() &&
                        CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, ca.data(), static_cast<DWORD>(ca.size()),
                                                         CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (root)
        CertCloseStore(root, 0);
    return stored;
}

// cardcsp.dll (beside the program) registers itself; false when it cannot.
inline bool RegisterCardProvider()
{
    HMODULE csp = LoadLibraryW(L"cardcsp.dll");
    const auto registerServer =
        csp ? reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(csp, "DllRegisterServer")))
            : nullptr;
    return registerServer && SUCCEEDED(registerServer());
}

// Ends the browser stand-ins (their frame windows) that a shell started, waiting up to waitMs
// for each; a few at most, as one that cannot be ended must not hold the caller.
inline void EndBrowserStandIns(DWORD waitMs)
{
    for (int tries = 0; tries < 5; ++tries) {
        const HWND frame = FindWindowW(L"IEFrame", nullptr);
        if (!frame)
            return;
        DWORD id = 0;
        GetWindowThreadProcessId(frame, &id);
        const tsmb::UniqueHandle browser(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (!browser)
            return;
        TerminateProcess(browser.Get(), 0);
        WaitForSingleObject(browser.Get(), waitMs);
    }
}

}  // namespace standin
