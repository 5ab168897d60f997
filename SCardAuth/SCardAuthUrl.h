#pragma once
// Splits a URL as the exchange connects to it: server (an IPv6 literal keeps its brackets),
// page (the path after the host, without its "/", query and fragment kept), port and whether
// TLS is used (the scheme before the first "://" ends in "s", any case).
#include <windows.h>

#include <string>

// Throws tsmb::Win32Error(ERROR_INTERNET_INVALID_URL) for a port that is not 1 to 65535.
void ParseURLW(const std::wstring& url, std::wstring& server, std::wstring& page, DWORD& port, bool& secure);
