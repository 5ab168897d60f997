#pragma once
// The site lock: the origins (scheme, host, port) whose pages may use the control and whose
// servers its requests may reach. Off unless the administrator wrote AllowedSites; then a
// page or server is let through only when an entry lists its origin.
#include <windows.h>

#include <string>
#include <vector>

// An http or https origin. The host is lower case ASCII (a name, its punycode form for an
// international one, or an IPv6 literal in brackets); the port is never 0.
struct SiteOrigin {
    std::wstring scheme;
    std::wstring host;
    DWORD port = 0;

    std::wstring Text() const;  // "https://desk.example:443"
};

// The origin of an absolute http(s) URL: false for any other URL, or one whose host is not
// a well-formed name or literal (the caller refuses it). Path, query and fragment do not count.
bool ParseSiteOrigin(const std::wstring& url, SiteOrigin& origin);
// The origin a connection really has: the scheme it uses, the server it names, its port.
// False when the server is not a well-formed host.
bool MakeSiteOrigin(bool secure, const std::wstring& server, DWORD port, SiteOrigin& origin);

class SiteLock {
public:
    // Off: everything is let through.
    SiteLock() = default;
    // On, with these entries: each a URL or several separated by ';' (the package writes its
    // list as one string). Entries that are no origin are traced and ignored.
    explicit SiteLock(const std::vector<std::wstring>& entries);
    // AllowedSites under HKLM\SOFTWARE\Tessam\Orvane: absent, off; present (even empty), on.
    // A value that cannot be read, or is not REG_MULTI_SZ, locks everything out.
    static SiteLock FromRegistry();

    bool IsOn() const { return m_on; }
    size_t Entries() const { return m_entries.size(); }
    bool Allows(const SiteOrigin& origin) const;

private:
    struct Entry {
        SiteOrigin origin;
        bool anySubdomain;  // "*.example.org": names below example.org, not example.org itself
    };
    bool m_on = false;
    std::vector<Entry> m_entries;
};
