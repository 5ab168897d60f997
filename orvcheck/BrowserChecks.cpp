// Internet Explorer's side: the control's approval, the desktop page and its zone, the site
// lock, the tab processes and the "vantor:" scheme.
#include <windows.h>
#include <urlmon.h>

#include "Checks.h"
#include "Keyvora.h"
#include "SiteLock.h"

namespace orvcheck {

namespace {

const wchar_t kAddOnPolicyKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\Ext";
const DWORD kKillBit = 0x00000400;        // COMPAT_EVIL_DONT_LOAD
const DWORD kNoObjectSafety = 0x00000002;  // COMPAT_NO_OBJECTSAFETY
const DWORD kNotListed = 0xFFFFFFFF;

// A policy value of the machine, else of the user: the machine's policy wins.
bool ReadPolicyNumber(const std::wstring& path, const wchar_t* name, DWORD& value)
{
    return ReadNumber(HKEY_LOCAL_MACHINE, path, name, 0, value) || ReadNumber(HKEY_CURRENT_USER, path, name, 0, value);
}

bool PolicyOn(const wchar_t* name)
{
    DWORD value = 0;
    return ReadPolicyNumber(kAddOnPolicyKey, name, value) && value == 1;
}

std::wstring ZoneName(DWORD zone)
{
    static const wchar_t* const kNames[] = {L"My Computer", L"Local intranet", L"Trusted sites", L"Internet",
                                            L"Restricted sites"};
    const std::wstring name = zone < 5 ? std::wstring(L"the ") + kNames[zone] + L" zone" : L"zone";
    return name + L" (" + std::to_wstring(zone) + L")";
}

// "allowed", "disabled", "prompt" (nobody answers it on a kiosk), or why there is no answer.
std::wstring PolicyText(const UrlActionAnswer& answer)
{
    if (FAILED(answer.result))
        return L"no answer from the zone manager (" + Hex(static_cast<DWORD>(answer.result)) + L")";
    switch (GetUrlPolicyPermissions(answer.policy)) {
    case URLPOLICY_ALLOW:
        return L"allowed";
    case URLPOLICY_QUERY:
        return L"prompt";
    default:
        return L"disabled";
    }
}

bool Allowed(const UrlActionAnswer& answer)
{
    return SUCCEEDED(answer.result) && GetUrlPolicyPermissions(answer.policy) == URLPOLICY_ALLOW;
}

// The zone facts are there only with a desktop URL the zone manager could map.
bool ZoneKnown(const KioskFacts& facts, Finding& notChecked, const GuideSection& section)
{
    if (facts.desktopUrl.empty()) {
        notChecked = Make(Status::Warn, L"not checked: no DesktopURL", section);
        return false;
    }
    if (FAILED(facts.zone.result)) {
        notChecked = Make(Status::Warn, L"not checked: the zone manager cannot map " + facts.desktopUrl + L" (" +
                                            Hex(static_cast<DWORD>(facts.zone.result)) + L")",
                          section);
        return false;
    }
    return true;
}

// What blocks the control whatever approves it, or empty.
std::wstring ControlBlock(const std::wstring& clsid, DWORD listEntry)
{
    DWORD flags = 0;
    if (ReadNumber(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Internet Explorer\\ActiveX Compatibility\\" + clsid,
                   L"Compatibility Flags", 0, flags) &&
        (flags & (kKillBit | kNoObjectSafety)))
        return L"its ActiveX Compatibility flags " + Hex(flags) +
               ((flags & kKillBit) ? L" carry the kill bit (0x400)" : L" mark it unsafe for scripting (0x2)");
    if (listEntry == 0)
        return L"the Add-on List policy denies it (0)";
    if (listEntry == kNotListed && PolicyOn(L"RestrictToList"))
        return L"a policy denies every add-on the Add-on List does not allow, and the list does not name it";
    DWORD userFlags = 0;
    const std::wstring userSettings = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\" + clsid;
    if (listEntry == kNotListed && ReadNumber(HKEY_CURRENT_USER, userSettings, L"Flags", 0, userFlags) &&
        (userFlags & 1))
        return L"this user turned it off in Manage Add-ons";
    return std::wstring();
}

}  // namespace

Finding CheckControlApproval(const KioskFacts& facts)
{
    const std::wstring clsid = GuidText(CLSID_KeyvoraCtl);
    DWORD listEntry = kNotListed;
    ReadPolicyNumber(std::wstring(kAddOnPolicyKey) + L"\\CLSID", clsid.c_str(), listEntry);
    const std::wstring block = ControlBlock(clsid, listEntry);
    if (!block.empty())
        return Make(Status::Fail, L"Internet Explorer will not run the control: " + block, guide::kApproval);
    if (listEntry == 1 || listEntry == 2)
        return Make(Status::Ok, L"allowed by the Add-on List policy (" + std::to_wstring(listEntry) + L")",
                    guide::kApproval);
    if (KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved\\" + clsid, 0))
        return Make(Status::Ok, L"on Internet Explorer's pre-approved list (" + std::wstring(OwnViewName()) + L" view)",
                    guide::kApproval);
    if (PolicyOn(L"NoFirsttimeprompt"))
        return Make(Status::Ok, L"a policy turns the ActiveX opt-in prompt off", guide::kApproval);
    if (!facts.desktopUrl.empty() && SUCCEEDED(facts.zone.result) && Allowed(facts.zone.runWithoutOptIn))
        return Make(Status::Ok, L"the desktop page's zone runs unused controls without asking (1208)",
                    guide::kApproval);
    return Make(Status::Fail,
                L"not approved: Internet Explorer asks on its Information bar before it runs the control, and "
                L"nobody answers on a kiosk",
                guide::kApproval);
}

Finding CheckDesktopUrl(const KioskFacts& facts)
{
    if (facts.desktopUrl.empty())
        return Make(Status::Fail,
                    L"DesktopURL is not set (HKLM\\SOFTWARE\\Tessam\\Orvane, " + std::wstring(OwnViewName()) +
                        L" view): the shell opens no page",
                    guide::kConfiguration);
    SiteOrigin origin;
    if (!ParseSiteOrigin(facts.desktopUrl, origin))
        return Make(Status::Warn, L"DesktopURL " + facts.desktopUrl + L" is no http(s) URL", guide::kConfiguration);
    return Make(Status::Ok, L"DesktopURL " + facts.desktopUrl, guide::kConfiguration);
}

Finding CheckDesktopZone(const KioskFacts& facts)
{
    Finding finding;
    if (!ZoneKnown(facts, finding, guide::kZone))
        return finding;
    const std::wstring zone = facts.desktopUrl + L" is in " + ZoneName(facts.zone.zone);
    const UrlActionAnswer& lowRights = facts.zone.protectedMode;
    if (FAILED(lowRights.result))
        return Make(Status::Warn, zone + L"; Protected Mode: " + PolicyText(lowRights), guide::kZone);
    if (ProtectedModeOn(facts.zone))
        return Make(Status::Fail,
                    zone + L" with Protected Mode on: the page cannot record the card's reader, so pulling the card "
                           L"disconnects nothing (event 2002)",
                    guide::kZone);
    if (facts.zone.zone > URLZONE_TRUSTED)
        return Make(Status::Warn, zone + L", Protected Mode off; put the site in Local intranet or Trusted sites",
                    guide::kZone);
    return Make(Status::Ok, zone + L", Protected Mode off", guide::kZone);
}

Finding CheckActiveX(const KioskFacts& facts)
{
    Finding finding;
    if (!ZoneKnown(facts, finding, guide::kZone))
        return finding;
    const ZoneFacts& zone = facts.zone;
    const std::wstring settings = L"Run ActiveX controls (1200) " + PolicyText(zone.runActiveX) +
                                  L", Script ActiveX controls marked safe (1405) " + PolicyText(zone.scriptSafeActiveX);
    if (FAILED(zone.runActiveX.result) || FAILED(zone.scriptSafeActiveX.result))
        return Make(Status::Warn, L"in " + ZoneName(zone.zone) + L": " + settings, guide::kZone);
    if (!Allowed(zone.runActiveX) || !Allowed(zone.scriptSafeActiveX))
        return Make(Status::Fail,
                    L"in " + ZoneName(zone.zone) + L": " + settings + L": the page cannot use the control",
                    guide::kZone);
    return Make(Status::Ok, L"in " + ZoneName(zone.zone) + L": " + settings, guide::kZone);
}

Finding CheckSiteLock(const KioskFacts& facts)
{
    // The control's own reading of AllowedSites and its own matching, so that this says what the
    // control will do.
    const SiteLock lock = SiteLock::FromRegistry();
    if (!lock.IsOn())
        return Make(Status::Warn, L"no AllowedSites: every page may use the card through the control",
                    guide::kConfiguration);
    const std::wstring entries = std::to_wstring(lock.Entries()) + (lock.Entries() == 1 ? L" origin" : L" origins");
    if (facts.desktopUrl.empty())
        return Make(Status::Warn, L"AllowedSites lists " + entries + L"; no DesktopURL to check against",
                    guide::kConfiguration);
    SiteOrigin origin;
    if (!ParseSiteOrigin(facts.desktopUrl, origin))
        return Make(Status::Fail,
                    L"the lock refuses the desktop page: " + facts.desktopUrl + L" has no http(s) origin",
                    guide::kConfiguration);
    if (!lock.Allows(origin))
        return Make(Status::Fail,
                    L"AllowedSites (" + entries + L") does not list the desktop page's origin " + origin.Text() +
                        L": the control refuses the page (event 2001)",
                    guide::kConfiguration);
    return Make(Status::Ok, L"AllowedSites (" + entries + L") lists the desktop page's origin " + origin.Text(),
                guide::kConfiguration);
}

Finding CheckTabProcesses(const KioskFacts&)
{
    static const struct {
        HKEY root;
        const wchar_t* path;
        const wchar_t* name;
    } kSources[] = {
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Microsoft\\Internet Explorer\\Main", L"machine policy"},
        {HKEY_CURRENT_USER, L"SOFTWARE\\Policies\\Microsoft\\Internet Explorer\\Main", L"user policy"},
        {HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Internet Explorer\\Main", L"user setting"},
    };
    // The first source that has the value decides: a policy wins over the user's own setting.
    for (const auto& source : kSources) {
        DWORD growth = 0;
        std::wstring text;
        if (ReadNumber(source.root, source.path, L"TabProcGrowth", 0, growth)) {
            if (growth == 0)
                return Make(Status::Ok, L"TabProcGrowth 0 (" + std::wstring(source.name) +
                                            L"): the kiosk's tabs run in the frame's process",
                            guide::kTabs);
            text = std::to_wstring(growth);
        } else if (!ReadText(source.root, source.path, L"TabProcGrowth", 0, text)) {
            continue;
        }
        return Make(Status::Warn,
                    L"TabProcGrowth " + text + L" (" + source.name +
                        L"): tabs may run in processes where the card's TLS session outlives the card",
                    guide::kTabs);
    }
    return Make(Status::Warn,
                L"TabProcGrowth is not set: tabs may run in processes where the card's TLS session outlives the card",
                guide::kTabs);
}

Finding CheckVantorProtocol(const KioskFacts&)
{
    std::wstring marker, command;
    if (!ReadText(HKEY_CLASSES_ROOT, L"vantor", L"URL Protocol", 0, marker))
        return Make(Status::Warn, L"the vantor: scheme is not registered: vantor:restart links do nothing",
                    guide::kDeploying);
    if (!ReadText(HKEY_CLASSES_ROOT, L"vantor\\shell\\open\\command", nullptr, 0, command))
        return Make(Status::Warn, L"the vantor: scheme has no command: vantor:restart links do nothing",
                    guide::kDeploying);
    const std::wstring program = ExpandPath(command);
    if (!FileExists(program))
        return Make(Status::Warn, L"vantor: links start " + program + L", which is not there", guide::kDeploying);
    return Make(Status::Ok, L"vantor: links start " + program, guide::kDeploying);
}

Finding CheckVantorPrompt(const KioskFacts&)
{
    const wchar_t key[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\vantor";
    // The user's value (which the prompt's own check box writes) comes before the machine's.
    DWORD warn = 1;
    const wchar_t* where = L"HKCU";
    if (!ReadNumber(HKEY_CURRENT_USER, key, L"WarnOnOpen", 0, warn)) {
        where = L"HKLM";
        if (!ReadNumber(HKEY_LOCAL_MACHINE, key, L"WarnOnOpen", 0, warn))
            warn = 1;
    }
    if (warn != 0)
        return Make(Status::Warn,
                    L"Internet Explorer asks before it opens a vantor: link, and nobody answers on a kiosk "
                    L"(WarnOnOpen is not 0)",
                    guide::kVantorPrompt);
    return Make(Status::Ok, L"vantor: links open without a prompt (WarnOnOpen 0, " + std::wstring(where) + L")",
                guide::kVantorPrompt);
}

}  // namespace orvcheck
