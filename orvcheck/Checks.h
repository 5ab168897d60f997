#pragma once
// The checks one by one, the admin guide's sections they name, and the registry reads they
// share. Internal to the kiosk check.
#include <windows.h>

#include <string>

#include "KioskCheck.h"

namespace orvcheck {

namespace guide {
const GuideSection kKioskCheck{L"Checking a kiosk", L"checking-a-kiosk"};
const GuideSection kDeploying{L"Deploying", L"deploying"};
const GuideSection kBesidesThePackage{L"What the kiosk needs besides the package",
                                      L"what-the-kiosk-needs-besides-the-package"};
const GuideSection kKioskShell{L"The kiosk shell", L"the-kiosk-shell"};
const GuideSection kSigning{L"Signing a release", L"signing-a-release"};
const GuideSection kZone{L"The zone of the desktop-access site, without Protected Mode",
                         L"the-zone-of-the-desktop-access-site-without-protected-mode"};
const GuideSection kApproval{L"Approving the control (add-on opt-in)", L"approving-the-control-add-on-opt-in"};
const GuideSection kVantorPrompt{L"The prompt before a vantor: link", L"the-prompt-before-a-vantor-link"};
const GuideSection kTabs{L"One browser process for the kiosk's tabs", L"one-browser-process-for-the-kiosks-tabs"};
const GuideSection kConfiguration{L"Configuration (registry)", L"configuration-registry"};
const GuideSection kEventLog{L"The Event Log", L"the-event-log"};
const GuideSection kTrace{L"Reading the trace", L"reading-the-trace"};
}  // namespace guide

Finding Make(Status status, std::wstring why, const GuideSection& section);
// Protected Mode on in the desktop page's zone, as far as the zone manager answered.
bool ProtectedModeOn(const ZoneFacts& zone);
std::wstring GuidText(const GUID& guid);
// The file version "a.b.c.d" of a file's VERSIONINFO resource; empty when it has none.
std::wstring FileVersion(const std::wstring& path);

// Package: files, signatures, the control's registration, the Event Log source, the trace.
Finding CheckDeliverables(const KioskFacts& facts);
Finding CheckSignatures(const KioskFacts& facts);
Finding CheckControlRegistration(const KioskFacts& facts);
Finding CheckEventLogSource(const KioskFacts& facts);
Finding CheckTrace(const KioskFacts& facts);

// Internet Explorer: the control's approval, the desktop page, its zone, the site lock, tabs,
// the "vantor:" scheme.
Finding CheckControlApproval(const KioskFacts& facts);
Finding CheckDesktopUrl(const KioskFacts& facts);
Finding CheckDesktopZone(const KioskFacts& facts);
Finding CheckActiveX(const KioskFacts& facts);
Finding CheckSiteLock(const KioskFacts& facts);
Finding CheckTabProcesses(const KioskFacts& facts);
Finding CheckVantorProtocol(const KioskFacts& facts);
Finding CheckVantorPrompt(const KioskFacts& facts);

// The shell: this user's shell, the hand-off key, the session-control SDK.
Finding CheckShell(const KioskFacts& facts);
Finding CheckHandOffKey(const KioskFacts& facts);
Finding CheckSessionSdk(const KioskFacts& facts);

// The smart-card service, its readers and cards.
Finding CheckSmartCards(const KioskFacts& facts);

// Registry reads. view is 0 for the program's own view (what the shell, the browser and COM of
// the deliverables' bitness see) or tsmb::GetRegistryViewFlag() for the foundation's (what the
// control and the trace switch read). Nothing is traced; a value that cannot be read is absent.
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view);
// REG_SZ, REG_EXPAND_SZ (not expanded) or the first string of REG_MULTI_SZ.
bool ReadText(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, std::wstring& text);
// A REG_DWORD, or a REG_SZ holding a decimal number (as some policies write them).
bool ReadNumber(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, DWORD& value);

// A path as the registry may hold it: quotes around it and environment variables expanded.
std::wstring ExpandPath(const std::wstring& text);
bool FileExists(const std::wstring& path);
bool SamePath(const std::wstring& a, const std::wstring& b);
// "32-bit" or "64-bit": the view that the program's own bitness reads.
const wchar_t* OwnViewName();
std::wstring Hex(DWORD value);

}  // namespace orvcheck
