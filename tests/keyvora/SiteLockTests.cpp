// The site lock: which page origins an AllowedSites list lets through, hostile URLs included,
// and what the hosted control does for a listed page, a refused one, and with no lock.
#include <windows.h>
#include <objsafe.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CardService.h"
#include "ControlHost.h"
#include "EventCapture.h"
#include "MessagePump.h"
#include "ScratchRegistry.h"
#include "SiteLock.h"
#include "TraceCapture.h"

using keyvoratest::EventSink;
using keyvoratest::HostedControl;
using keyvoratest::PageFrom;
using keyvoratest::PumpUntil;
using testsupport::PumpPosted;

namespace {

// Entries as in the registry: one string each.
const std::vector<std::wstring> kEntries = {
    L"https://desk.example/start?kiosk=1", L"http://intranet:8080/app",  L"https://*.corp.example",
    L"https://[::1]:8443/",                L"https://xn--bcher-kva.example", L" https://a.example;https://b.example ",
    L"desk2.example",                      L"ftp://files.example",          L"https://*.[::1]/",
    L"https://desk3.example:99999/",
};

struct Match {
    const char* name;
    std::wstring url;
    bool listed;
};

std::wstring Exactly(const wchar_t* text, size_t length) { return std::wstring(text, length); }

class SiteLockMatch : public ::testing::TestWithParam<Match> {};

TEST_P(SiteLockMatch, ListsOnlyTheOriginsWritten)
{
    const SiteLock lock(kEntries);
    SiteOrigin origin;
    EXPECT_EQ(GetParam().listed, ParseSiteOrigin(GetParam().url, origin) && lock.Allows(origin)) << origin.Text().c_str();
}

const std::wstring kLong(100000, L'a');

INSTANTIATE_TEST_SUITE_P(
    Table, SiteLockMatch,
    ::testing::Values(
        Match{"listed", L"https://desk.example/", true},
        Match{"path_query_fragment_ignored", L"https://desk.example/other/page?x=1#top", true},
        Match{"upper_case", L"HTTPS://DESK.Example/", true},
        Match{"default_port_written", L"https://desk.example:443/", true},
        Match{"empty_port_is_the_default", L"https://desk.example:/", true},
        Match{"no_path", L"https://desk.example", true},
        Match{"other_scheme", L"http://desk.example/", false},
        Match{"other_port", L"https://desk.example:8443/", false},
        Match{"port_listed", L"http://intranet:8080/x", true},
        Match{"listed_port_not_written", L"http://intranet/app", false},
        Match{"listed_name_as_prefix", L"https://desk.example.evil.org/", false},
        Match{"listed_name_in_path", L"https://evil.org/desk.example", false},
        Match{"listed_name_as_user", L"https://desk.example@evil.org/", false},
        // With two '@' the host is what follows the last one, as browsers read it.
        Match{"user_info_with_two_at", L"https://u@v@desk.example/", true},
        Match{"listed_name_between_two_at", L"https://u@desk.example@evil.org/", false},
        Match{"backslash_before_user", L"https://evil.org\\@desk.example/", false},
        Match{"trailing_dot", L"https://desk.example./", false},
        Match{"port_zero", L"https://desk.example:0/", false},
        Match{"port_too_high", L"https://desk.example:65979/", false},
        Match{"port_not_a_number", L"https://desk.example:44a/", false},
        Match{"ipv6_listed", L"https://[::1]:8443/x", true},
        Match{"ipv6_default_port", L"https://[::1]/", false},
        Match{"ipv6_unclosed", L"https://[::1:8443/", false},
        Match{"punycode", L"https://xn--bcher-kva.example/", true},
        Match{"international_name", L"https://b\u00fccher.example/", true},
        Match{"look_alike_name", L"https://b\u0430cher.example/", false},
        Match{"wildcard_one_label", L"https://a.corp.example/", true},
        Match{"wildcard_deeper", L"https://x.y.corp.example/", true},
        Match{"wildcard_not_the_bare_domain", L"https://corp.example/", false},
        Match{"wildcard_label_boundary", L"https://evilcorp.example/", false},
        Match{"semicolon_separated_first", L"https://a.example/", true},
        Match{"semicolon_separated_second", L"https://b.example/", true},
        Match{"entry_without_scheme_ignored", L"https://desk2.example/", false},
        Match{"ftp_entry_ignored", L"ftp://files.example/", false},
        Match{"bad_port_entry_ignored", L"https://desk3.example/", false},
        Match{"about_blank", L"about:blank", false},
        Match{"file", L"file:///C:/kiosk/desk.html", false},
        Match{"javascript", L"javascript:alert(1)//https://desk.example/", false},
        Match{"scheme_without_slashes", L"https:desk.example", false},
        Match{"empty", L"", false},
        Match{"long_path", L"https://desk.example/" + kLong, true},
        Match{"long_host", L"https://" + kLong + L".example/", false},
        Match{"nul_in_host", Exactly(L"https://desk.example\0.evil.org/", 31), false},
        Match{"nul_before_listed_url", Exactly(L"https://evil.org/\0https://desk.example/", 39), false},
        Match{"space_in_host", L"https://desk.example /", false},
        Match{"percent_in_host", L"https://desk%2eexample/", false}),
    [](const ::testing::TestParamInfo<Match>& info) { return std::string(info.param.name); });

TEST(SiteLockEntries, OnlyWellFormedOnesCountAndNoneListsNothing)
{
    EXPECT_EQ(7u, SiteLock(kEntries).Entries());
    const SiteLock empty{std::vector<std::wstring>()};
    SiteOrigin origin;
    ASSERT_TRUE(ParseSiteOrigin(L"https://desk.example/", origin));
    EXPECT_TRUE(empty.IsOn());
    EXPECT_FALSE(empty.Allows(origin));
    EXPECT_FALSE(SiteLock().IsOn());
    EXPECT_TRUE(SiteLock().Allows(origin));
}

// ---- The hosted control under the lock.

const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";

// AllowedSites as REG_MULTI_SZ; nullptr for no value.
void WriteAllowedSites(const testsupport::ScratchValue& value, const wchar_t* entries)
{
    if (!entries) {
        value.Remove();
        return;
    }
    std::wstring data(entries);
    for (wchar_t& c : data)
        if (c == L'\n')
            c = L'\0';
    data.append(2, L'\0');
    value.Set(REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

struct Page {
    const char* name;
    const wchar_t* allowedSites;  // '\n' between entries; nullptr: no value
    const wchar_t* page;          // nullptr: the container's site gives no URL
    PageFrom from;
    bool allowed;
    const char* refusal;  // part of the error description
};

// The card present in R1, the creation traced, and the lock's value in the registry.
class HostedUnderLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, SimAttachReader(L"R1"));
        ASSERT_EQ(0, SimInsertCard(L"R1", nullptr, 0, nullptr, nullptr));
        const DWORD on = 1;
        m_debug.Set(REG_DWORD, &on, sizeof(on));  // the creation's trace
    }

    testsupport::CardServiceReset m_service;
    keyvoratest::ClassRegistration m_registration;
    testsupport::ScratchValue m_sites{HKEY_LOCAL_MACHINE, kConfigKey, L"AllowedSites"};
    testsupport::ScratchValue m_debug{HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Debug", L"Keyvora"};
    testsupport::TraceCapture m_trace;
    testsupport::EventCapture m_events;
};

// Every member of the control and the safety options refuse the page, with error info that
// gives the reason.
void ExpectEverythingRefused(IKeyvoraCtl* control, const char* refusal)
{
    ctlfw::ComPtr<IObjectSafety> safety;
    ASSERT_EQ(S_OK, control->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(safety.Put())));
    const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, options, options));
    BSTR pin = SysAllocString(L"1234"), read = nullptr, url = SysAllocString(L"https://desk.example/"), data = nullptr;
    ULONG lastError = 0;
    LONG type = 0, status = 0;
    const HRESULT refused[] = {
        control->put_AuthSCardPin(pin),
        control->get_AuthSCardPin(&read),
        control->ReadHttpDataFromUrl(url, nullptr, nullptr, &data),
        control->get_ReadHttpDataFromUrlLastError(&lastError),
        control->get_LastReportedSCardEventType(&type),
        control->get_LastReportedSCardEventStatus(&status),
    };
    for (HRESULT hr : refused)
        EXPECT_EQ(E_ACCESSDENIED, hr);
    EXPECT_EQ(nullptr, read);
    EXPECT_EQ(nullptr, data);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    BSTR description = nullptr;
    info->GetDescription(&description);
    const std::wstring reason(refusal, refusal + strlen(refusal));
    EXPECT_NE(std::wstring::npos, std::wstring(description ? description : L"").find(reason));
    SysFreeString(description);
    info->Release();
    SysFreeString(pin);
    SysFreeString(read);
    SysFreeString(url);
    SysFreeString(data);
}

class SiteLockPage : public HostedUnderLock, public ::testing::WithParamInterface<Page> {};

TEST_P(SiteLockPage, ListedPagesGetEverythingRefusedOnesNothing)
{
    const Page& p = GetParam();
    WriteAllowedSites(m_sites, p.allowedSites);
    EventSink sink;
    HostedControl host(&sink, p.page, p.from);
    IKeyvoraCtl* control = host.Control();

    const bool locked = p.allowedSites != nullptr;
    EXPECT_EQ(1u, m_trace.LinesStartingWith(locked ? "SCardAuth:SiteLock::FromRegistry: site lock: on, "
                                                   : "SCardAuth:SiteLock::FromRegistry: site lock: off")
                      .size());
    // A refused page is in the Event Log with the reason, which names its origin.
    const std::wstring refusal(p.refusal, p.refusal + strlen(p.refusal));
    testsupport::ExpectOutcomes(m_events, L"Keyvora.dll",
                                p.allowed ? std::vector<testsupport::EventEntry>{}
                                          : std::vector<testsupport::EventEntry>{{0, ORVANE_EVENT_PAGE_REFUSED, {refusal}}});
    if (p.allowed) {
        ctlfw::ComPtr<IObjectSafety> safety;
        ASSERT_EQ(S_OK, control->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(safety.Put())));
        const DWORD options = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
        EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, options, options));
        BSTR pin = SysAllocString(L"1234"), read = nullptr;
        LONG type = 0;
        EXPECT_TRUE(PumpUntil([&] { return !sink.events.empty(); }));
        ASSERT_FALSE(sink.events.empty());
        EXPECT_EQ(1, sink.events[0].eventType);
        EXPECT_EQ(S_OK, control->put_AuthSCardPin(pin));
        EXPECT_EQ(S_OK, control->get_AuthSCardPin(&read));
        EXPECT_EQ(L"1234", std::wstring(read ? read : L""));
        EXPECT_EQ(S_OK, control->get_LastReportedSCardEventType(&type));
        EXPECT_EQ(1, type);
        SysFreeString(pin);
        SysFreeString(read);
    } else {
        // No monitor starts: the card present in R1 is never reported.
        EXPECT_TRUE(m_trace.Contains("SCardAuth:CKeyvoraCtl::OnCreate: the page is refused => no card monitor (" +
                                     std::string(p.refusal) + ")"));
        LONG contexts = -1, blocks = -1, started = -1;
        SimGetOutstanding(&contexts, &blocks, &started);
        EXPECT_EQ(0, contexts);
        ExpectEverythingRefused(control, p.refusal);
        // With no monitor, only what is queued already could still be fired.
        ASSERT_TRUE(PumpPosted());
        EXPECT_TRUE(sink.events.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiteLockPage,
    ::testing::Values(
        Page{"lock_off_no_site_url", nullptr, nullptr, PageFrom::None, true, ""},
        Page{"lock_off_any_page", nullptr, L"https://evil.example/", PageFrom::Moniker, true, ""},
        Page{"listed_by_moniker", L"https://evil.example\nhttps://desk.example", L"https://desk.example/start?x=1",
             PageFrom::Moniker, true, ""},
        Page{"listed_by_browser_location", L"https://*.corp.example", L"https://kiosk.corp.example/", PageFrom::Browser,
             true, ""},
        Page{"not_listed", L"https://desk.example", L"https://evil.example/", PageFrom::Moniker, false,
             "AllowedSites does not list the page https://evil.example:443"},
        Page{"not_listed_by_browser_location", L"https://desk.example", L"http://desk.example/", PageFrom::Browser, false,
             "AllowedSites does not list the page http://desk.example:80"},
        Page{"no_site_url", L"https://desk.example", nullptr, PageFrom::None, false,
             "the control's site gives no page URL"},
        Page{"about_blank", L"https://desk.example", L"about:blank", PageFrom::Moniker, false,
             "the page's URL has no http or https origin"},
        Page{"empty_list", L"", L"https://desk.example/", PageFrom::Moniker, false,
             "AllowedSites does not list the page https://desk.example:443"}),
    [](const ::testing::TestParamInfo<Page>& info) { return std::string(info.param.name); });

// A control that a listed page had, moved to no page or to one the lock does not list, is
// refused from then on: the card must not serve the next page.
struct Resite {
    const char* name;
    bool site;            // false: the container takes the site away
    const wchar_t* page;  // nullptr: a site that gives no URL
    const char* refusal;
};

class SiteLockResite : public HostedUnderLock, public ::testing::WithParamInterface<Resite> {};

TEST_P(SiteLockResite, RefusesEverythingFromThenOn)
{
    const Resite& r = GetParam();
    WriteAllowedSites(m_sites, L"https://desk.example");
    EventSink sink;
    HostedControl host(&sink, L"https://desk.example/", PageFrom::Moniker);
    ASSERT_TRUE(PumpUntil([&] { return !sink.events.empty(); }));  // the listed page hears of the card
    const size_t fired = sink.events.size();
    m_trace.Clear();

    if (r.site) {
        host.Resite(r.page, r.page ? PageFrom::Moniker : PageFrom::None);
    } else {
        ctlfw::ComPtr<IOleObject> ole;
        ASSERT_EQ(S_OK, host.Control()->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(ole.Put())));
        ASSERT_EQ(S_OK, ole->SetClientSite(nullptr));
    }
    ExpectEverythingRefused(host.Control(), r.refusal);
    // No monitor runs for the new page, and an event its window still gets is not fired.
    LONG contexts = -1, blocks = -1, started = -1;
    SimGetOutstanding(&contexts, &blocks, &started);
    EXPECT_EQ(0, contexts);
    if (r.site) {
        EXPECT_TRUE(m_trace.Contains("SCardAuth:CKeyvoraCtl::OnCreate: the page is refused => no card monitor (" +
                                     std::string(r.refusal) + ")"));
        ASSERT_NE(nullptr, host.ControlWindow());
        PostMessageW(host.ControlWindow(), WM_REPORT_SCARD_EVENT, SCardAuthEventSmartCardPresent, 0);
        EXPECT_TRUE(PumpUntil([&] {
            return m_trace.Contains(
                "SCardAuth:CKeyvoraCtl::OnReportSCardEvent: the page is refused => event 1 not fired");
        }));
    }
    ASSERT_EQ(0, SimRemoveCard(L"R1"));
    ASSERT_TRUE(PumpPosted());  // no monitor runs (above): nothing but the queue can fire
    EXPECT_EQ(fired, sink.events.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiteLockResite,
    ::testing::Values(Resite{"to_no_site", false, nullptr, "the control has no page (no client site)"},
                      Resite{"to_a_site_without_url", true, nullptr, "the control's site gives no page URL"},
                      Resite{"to_about_blank", true, L"about:blank", "the page's URL has no http or https origin"},
                      Resite{"to_a_page_not_listed", true, L"https://evil.example/",
                             "AllowedSites does not list the page https://evil.example:443"}),
    [](const ::testing::TestParamInfo<Resite>& info) { return std::string(info.param.name); });

}  // namespace
