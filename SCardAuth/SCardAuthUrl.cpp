#include "SCardAuthUrl.h"

#include <wininet.h>

#include <cwchar>

#include "Trace.h"
#include "Win32Error.h"

namespace {

const wchar_t kBlanks[] = L" \f\n\r\t\v";
const char kParse[] = "SCardAuthCommunicator::ParseURLW";

// The port text as a stream reads a signed long: blanks skipped, an optional sign, the digits.
// False when no number is there or it is not a port (1 to 65535).
bool ReadPort(const std::wstring& text, DWORD& port)
{
    size_t i = 0;
    while (i < text.size() && wcschr(kBlanks, text[i]) && text[i] != L'\0')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    unsigned long long value = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > 65535)
            return false;
    }
    if (digits == 0 || negative || value == 0)
        return false;
    port = static_cast<DWORD>(value);
    return true;
}

}  // namespace

void ParseURLW(const std::wstring& url, std::wstring& server, std::wstring& page, DWORD& port, bool& secure)
{
    Trace("SCardAuth:%s: executing: urlToParse: %S", kParse, url.c_str());
    server.clear();
    page.clear();
    port = INTERNET_DEFAULT_HTTP_PORT;
    secure = false;

    const size_t first = url.find_first_not_of(kBlanks);
    const std::wstring text = first == std::wstring::npos ? L"" : url.substr(first, url.find_last_not_of(kBlanks) - first + 1);

    size_t host = 0;
    const size_t scheme = text.find(L"://");
    if (scheme != std::wstring::npos) {
        secure = scheme > 0 && (text[scheme - 1] == L's' || text[scheme - 1] == L'S');
        host = scheme + 3;
    }
    size_t hostEnd = std::wstring::npos;
    if (host + 1 < text.size() && text[host] == L'[') {
        const size_t close = text.find(L']', host + 1);
        if (close != std::wstring::npos)
            hostEnd = close + 1;
    }
    if (hostEnd == std::wstring::npos) {
        hostEnd = text.find_first_of(L":/", host);
        if (hostEnd == std::wstring::npos)
            hostEnd = text.size();
    }
    server = text.substr(host, hostEnd - host);

    if (hostEnd < text.size() && text[hostEnd] == L':') {
        size_t portEnd = text.find(L'/', hostEnd + 1);
        if (portEnd == std::wstring::npos)
            portEnd = text.size();
        const std::wstring portText = text.substr(hostEnd + 1, portEnd - hostEnd - 1);
        // An empty port is the scheme's; anything else must be a port, or the URL is invalid
        // (never a connection to its low 16 bits, nor to port 80 over TLS).
        if (portText.empty()) {
            port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
        } else if (!ReadPort(portText, port)) {
            Trace("SCardAuth:%s: invalid port: \"%S\" => ERROR_INTERNET_INVALID_URL", kParse, portText.c_str());
            throw tsmb::Win32Error(ERROR_INTERNET_INVALID_URL);
        }
        hostEnd = portEnd;
    } else {
        port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    }
    if (hostEnd < text.size() && text[hostEnd] == L'/')
        page = text.substr(hostEnd + 1);
    Trace("SCardAuth:%s: results: server: %S page: %S port: %ld secure: %s", kParse, server.c_str(), page.c_str(),
          static_cast<long>(port), secure ? "yes" : "no");
}
