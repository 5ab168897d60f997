#include "SiteLock.h"

#include <wininet.h>

#include <cwctype>

#include "RefCount.h"
#include "RegistryKey.h"
#include "Trace.h"
#include "Win32Error.h"

namespace {

const size_t kMaxHostChars = 253;
const size_t kMaxLabelChars = 63;

typedef int(WINAPI* IdnToAsciiFn)(DWORD, LPCWSTR, int, LPWSTR, int);

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

// An international name in its punycode form, as DNS and the server's certificate know it.
bool ToAscii(const std::wstring& name, std::wstring& ascii)
{
    static const IdnToAsciiFn idnToAscii = reinterpret_cast<IdnToAsciiFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IdnToAscii")));
    if (!idnToAscii || name.size() > kMaxHostChars)
        return false;
    wchar_t buffer[kMaxHostChars + 2];
    const int chars = idnToAscii(0, name.data(), static_cast<int>(name.size()), buffer, kMaxHostChars + 1);
    if (chars <= 0)
        return false;
    ascii.assign(buffer, static_cast<size_t>(chars));
    return true;
}

// A host as the lock compares it, or false when it is none: an IPv6 literal, or dot-separated
// labels of letters, digits, '-' and '_' (no empty label, so no trailing dot). Anything else
// (a space, '@', '%', a NUL) could name one server to the lock and another to the resolver.
bool NormalizeHost(const std::wstring& raw, std::wstring& host)
{
    if (raw.empty() || raw.size() > kMaxHostChars + 2)
        return false;
    if (raw[0] == L'[') {
        if (raw.size() < 4 || raw.back() != L']' || raw.find(L':') == std::wstring::npos)
            return false;
        for (size_t i = 1; i + 1 < raw.size(); ++i)
            if (!iswxdigit(raw[i]) && raw[i] != L':' && raw[i] != L'.')
                return false;
        host = Lower(raw);
        return true;
    }
    std::wstring ascii = raw;
    for (wchar_t c : raw) {
        if (c > 0x7F) {
            if (!ToAscii(raw, ascii))
                return false;
            break;
        }
    }
    ascii = Lower(ascii);
    if (ascii.size() > kMaxHostChars)
        return false;
    size_t label = 0;
    for (wchar_t c : ascii) {
        if (c == L'.') {
            if (label == 0)
                return false;
            label = 0;
        } else if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_') {
            if (++label > kMaxLabelChars)
                return false;
        } else {
            return false;
        }
    }
    if (label == 0)
        return false;
    host = ascii;
    return true;
}

std::wstring Trim(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L" \t");
    return first == std::wstring::npos ? std::wstring() : text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

}  // namespace

std::wstring SiteOrigin::Text() const { return scheme + L"://" + host + L":" + std::to_wstring(port); }

bool MakeSiteOrigin(bool secure, const std::wstring& server, DWORD port, SiteOrigin& origin)
{
    if (port == 0 || port > 65535 || !NormalizeHost(server, origin.host))
        return false;
    origin.scheme = secure ? L"https" : L"http";
    origin.port = port;
    return true;
}

bool ParseSiteOrigin(const std::wstring& url, SiteOrigin& origin)
{
    const size_t colon = url.find(L':');
    if (colon == std::wstring::npos)
        return false;
    const std::wstring scheme = Lower(url.substr(0, colon));
    if ((scheme != L"http" && scheme != L"https") || url.compare(colon + 1, 2, L"//") != 0)
        return false;
    const bool secure = scheme == L"https";
    // A backslash ends the authority as a slash does: a browser reads "https://a\@b" as host a.
    const size_t start = colon + 3;
    size_t end = url.find_first_of(L"/?#\\", start);
    if (end == std::wstring::npos)
        end = url.size();
    std::wstring authority = url.substr(start, end - start);
    const size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos)
        authority.erase(0, at + 1);
    // The host ends at the port's colon, an IPv6 literal at its closing bracket.
    const bool literal = authority.compare(0, 1, L"[") == 0;
    size_t hostEnd = literal ? authority.find(L']') : authority.find(L':');
    if (literal) {
        if (hostEnd == std::wstring::npos)
            return false;
        if (++hostEnd < authority.size() && authority[hostEnd] != L':')
            return false;
    }
    const std::wstring host = authority.substr(0, hostEnd);
    const std::wstring port = hostEnd < authority.size() ? authority.substr(hostEnd + 1) : std::wstring();
    DWORD number = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of(L"0123456789") != std::wstring::npos)
            return false;
        number = static_cast<DWORD>(std::stoul(port));
    }
    return MakeSiteOrigin(secure, host, number, origin);
}

SiteLock::SiteLock(const std::vector<std::wstring>& entries) : m_on(true)
{
    static const char kName[] = "SiteLock::SiteLock";
    for (const std::wstring& value : entries) {
        for (size_t start = 0; start <= value.size();) {
            size_t end = value.find(L';', start);
            if (end == std::wstring::npos)
                end = value.size();
            const std::wstring piece = Trim(value.substr(start, end - start));
            start = end + 1;
            if (piece.empty())
                continue;
            std::wstring text = piece;
            Entry entry{SiteOrigin(), false};
            const size_t scheme = text.find(L"://");
            if (scheme != std::wstring::npos && text.compare(scheme + 3, 2, L"*.") == 0) {
                text.erase(scheme + 3, 2);
                entry.anySubdomain = true;
            }
            if (!ParseSiteOrigin(text, entry.origin) || (entry.anySubdomain && entry.origin.host[0] == L'[')) {
                Trace("SCardAuth:%s: AllowedSites entry \"%S\" is no http(s) origin => ignored", kName, piece.c_str());
                continue;
            }
            Trace("SCardAuth:%s: listed: %S%S", kName, entry.anySubdomain ? L"(any name below) " : L"",
                  entry.origin.Text().c_str());
            m_entries.push_back(entry);
        }
    }
}

SiteLock SiteLock::FromRegistry()
{
    static const char kName[] = "SiteLock::FromRegistry";
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    try {
        RefPtr<tsmb::RegistryKey> key(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane",
                                                             KEY_QUERY_VALUE | tsmb::GetRegistryViewFlag()));
        key->QueryValue(L"AllowedSites", data, type);
    } catch (const tsmb::Win32Error& e) {
        if (e.GetErrorCode() == ERROR_FILE_NOT_FOUND) {
            Trace("SCardAuth:%s: site lock: off (no AllowedSites value)", kName);
            return SiteLock();
        }
        if (e.GetErrorCode() != ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE) {
            Trace("SCardAuth:%s: site lock: on, AllowedSites cannot be read (error %lu) => no site is listed", kName,
                  e.GetErrorCode());
            return SiteLock(std::vector<std::wstring>());
        }
        type = REG_MULTI_SZ;  // present and empty
    }
    if (type != REG_MULTI_SZ) {
        Trace("SCardAuth:%s: site lock: on, AllowedSites is not REG_MULTI_SZ (type %lu) => no site is listed", kName, type);
        return SiteLock(std::vector<std::wstring>());
    }
    SiteLock lock(tsmb::SplitMultiString(data));
    Trace("SCardAuth:%s: site lock: on, %lu entries (AllowedSites)", kName, static_cast<unsigned long>(lock.Entries()));
    return lock;
}

bool SiteLock::Allows(const SiteOrigin& origin) const
{
    if (!m_on)
        return true;
    for (const Entry& entry : m_entries) {
        if (entry.origin.scheme != origin.scheme || entry.origin.port != origin.port)
            continue;
        if (!entry.anySubdomain) {
            if (entry.origin.host == origin.host)
                return true;
        } else if (origin.host.size() > entry.origin.host.size() + 1 &&
                   origin.host.compare(origin.host.size() - entry.origin.host.size() - 1, std::wstring::npos,
                                       L"." + entry.origin.host) == 0) {
            return true;
        }
    }
    return false;
}
