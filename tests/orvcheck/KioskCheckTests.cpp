// The kiosk check as the package installs it, in a Wine prefix of its own
// (tests/installer/in-scratch-prefix): the package installed with its defaults and the desktop
// page, the kiosk set up as the admin guide says, the test bed's smart-card service, card
// provider and SDK stand-in in place; then every check is OK. Each setting broken on its own
// then gives exactly its finding and exit code, the same in the table and in the JSON.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "JsonReader.h"
#include "LogFile.h"
#include "Process.h"
#include "ScratchRegistry.h"
#include "TestMachine.h"
#include "UniqueHandle.h"
#include "scardsim.h"

namespace {

using testsupport::FileBytes;
using testsupport::InstallFolder;
using testsupport::SystemProgram;

using testsupport::JsonValue;

const wchar_t kDesktopUrl[] = L"https://desk.example/start";
const wchar_t kReader[] = L"Kiosk Reader";
const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const wchar_t kInternetSettings[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kIntranetZone[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones\\1";
const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kClsid[] = L"{9E96B5EC-8318-4927-B026-630DFD86D539}";
// The control reads its settings in the foundation's view, the 32-bit one, also in the 64-bit
// test variant, whose package writes its own view.
const REGSAM kControlView = KEY_WOW64_32KEY;
const REGSAM kOwnView = testsupport::kUnflaggedView;

// The report's checks in its order: the JSON's shape is a contract with deployment tools.
const char* const kCheckIds[] = {"deliverables", "signatures",      "control-registration", "control-approval",
                                 "desktop-url",  "desktop-zone",    "activex",              "site-lock",
                                 "shell",        "hand-off-key",    "session-sdk",          "smart-cards",
                                 "tab-processes", "vantor-protocol", "vantor-prompt",        "event-log-source",
                                 "trace"};

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

void SetValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view, DWORD type, const void* data,
              DWORD size)
{
    tsmb::UniqueRegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Put(), nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

void SetDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value, REGSAM view = kOwnView)
{
    SetValue(root, path, name, view, REG_DWORD, &value, sizeof(value));
}

void SetText(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text, REGSAM view = kOwnView,
             DWORD type = REG_SZ)
{
    SetValue(root, path, name, view, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// The card in the test reader holds the certificate of that file (in bin\testcerts).
void InsertCard(const wchar_t* certificate)
{
    const std::string der = FileBytes(testsupport::BesideTestProgram(std::wstring(L"testcerts\\") + certificate));
    SimRemoveCard(kReader);
    ASSERT_EQ(0, SimInsertCard(kReader, nullptr, 0, nullptr, nullptr));
    ASSERT_EQ(0, SimSetCardKey(kReader, "1234", 3, reinterpret_cast<const BYTE*>(der.data()),
                               static_cast<DWORD>(der.size())));
}

// The kiosk as the admin guide sets it up, beyond what the package does.
void ConfigureAsTheGuideSays(const std::wstring& folder)
{
    SetDword(HKEY_CURRENT_USER, std::wstring(kInternetSettings) + L"\\ZoneMap\\Domains\\desk.example", L"https", 1);
    // Wine's zones have no Protected Mode value (2500): the zone manager gives no answer without it.
    SetDword(HKEY_CURRENT_USER, kIntranetZone, L"2500", 3);
    SetText(HKEY_CURRENT_USER, kWinlogonKey, L"Shell", L"\"" + folder + L"\\Ambrel.exe\"");
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\system.ini\\boot",
            L"Shell", L"USR:Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
    SetDword(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Internet Explorer\\Main", L"TabProcGrowth", 0);
    SetDword(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\vantor", L"WarnOnOpen", 0);
    // The package's site lock, where the control reads it (for the 64-bit variant, whose package
    // wrote it into the other view).
    SetText(HKEY_LOCAL_MACHINE, kConfigKey, L"AllowedSites", kDesktopUrl, kControlView, REG_MULTI_SZ);
}

// Something a row changed, undone when dropped.
class Undo {
public:
    Undo() = default;
    explicit Undo(std::function<void()> undo) : m_undo(std::move(undo)) {}
    Undo(Undo&& other) noexcept : m_undo(std::exchange(other.m_undo, nullptr)) {}
    Undo& operator=(Undo&&) = delete;
    ~Undo()
    {
        if (m_undo)
            m_undo();
    }

private:
    std::function<void()> m_undo;
};

// A value set (or, with no type, removed) until the row ends; then it is as it was.
Undo ChangeValue(HKEY root, const wchar_t* path, const wchar_t* name, REGSAM view, DWORD type = REG_NONE,
                 const std::wstring& text = std::wstring(), DWORD number = 0)
{
    const auto value = std::make_shared<testsupport::ScratchValue>(root, path, name, view);
    if (type == REG_DWORD)
        value->Set(REG_DWORD, &number, sizeof(number));
    else if (type != REG_NONE)
        value->SetString(text, type);
    return Undo([value] {});
}

// A key and all below it gone until the row ends; then the key is there again (empty: what
// the check looks at is that it exists).
Undo RemoveKey(HKEY root, const std::wstring& path, REGSAM view)
{
    testsupport::DeleteKeyTree(root, path, view);
    return Undo([root, path, view] { testsupport::CreateKey(root, path, KEY_WRITE | view); });
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    return static_cast<bool>(testsupport::OpenKey(root, path, KEY_READ | view));
}

DWORD RunSystemProgram(const wchar_t* program, const std::wstring& arguments)
{
    return testsupport::RunProgram(SystemProgram(program), arguments, 60000).exitCode;
}

// ---- The rows' changes.

// The control of the test-signed set with one byte changed since it was signed.
Undo ChangedAfterSigning()
{
    const std::wstring control = InstallFolder() + L"\\Keyvora.dll";
    const std::string original = FileBytes(control);
    std::string changed = FileBytes(testsupport::BesideTestProgram(L"signed\\Keyvora.dll"));
    EXPECT_FALSE(changed.empty());
    if (!changed.empty())
        changed[changed.size() / 3] ^= 0x20;
    EXPECT_TRUE(WriteBytes(control, changed));
    return Undo([control, original] { EXPECT_TRUE(WriteBytes(control, original)); });
}

Undo ClassUnregistered()
{
    const std::wstring control = L"\"" + InstallFolder() + L"\\Keyvora.dll\"";
    // Its exit code is not the point: Wine's UnRegisterTypeLib does not find the 64-bit test
    // package's type library (registered under "win32") and fails the unregistration after the
    // class is gone.
    RunSystemProgram(L"regsvr32.exe", L"/u /s " + control);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClsid, kOwnView));
    return Undo([control] { EXPECT_EQ(0u, RunSystemProgram(L"regsvr32.exe", L"/s " + control)); });
}

Undo ControlNotApproved()
{
    // Wine's zones have no value for running unused controls without asking (1208), so here
    // only the pre-approved list approves the control.
    const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved\\") + kClsid;
    return RemoveKey(HKEY_LOCAL_MACHINE, key, kOwnView);
}

Undo KillBit()
{
    const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Internet Explorer\\ActiveX Compatibility\\") + kClsid;
    return ChangeValue(HKEY_LOCAL_MACHINE, key.c_str(), L"Compatibility Flags", kOwnView, REG_DWORD, L"", 0x400);
}

Undo ProtectedModeOn()
{
    // Wine does not enforce integrity levels on registry keys: the hand-off key stays writable
    // at low integrity here, where Windows would refuse it and fail "hand-off-key" too.
    return ChangeValue(HKEY_CURRENT_USER, kIntranetZone, L"2500", kOwnView, REG_DWORD, L"", 0);
}

Undo LockWithoutTheDesktop()
{
    return ChangeValue(HKEY_LOCAL_MACHINE, kConfigKey, L"AllowedSites", kControlView, REG_MULTI_SZ,
                       L"https://elsewhere.example");
}

Undo NoLock() { return ChangeValue(HKEY_LOCAL_MACHINE, kConfigKey, L"AllowedSites", kControlView); }

Undo ShellIsExplorer()
{
    return ChangeValue(HKEY_CURRENT_USER, kWinlogonKey, L"Shell", kOwnView, REG_SZ, L"explorer.exe");
}

Undo NoHandOffKey() { return RemoveKey(HKEY_CURRENT_USER, kConfigKey, 0); }

Undo SdkMissing()
{
    const std::wstring sdk = InstallFolder() + L"\\VsmSDK.dll";
    EXPECT_TRUE(MoveFileW(sdk.c_str(), (sdk + L".away").c_str()));
    return Undo([sdk] { EXPECT_TRUE(MoveFileW((sdk + L".away").c_str(), sdk.c_str())); });
}

// The stand-in with one export renamed: a DLL without VsmUninitialize.
Undo SdkWithoutAnExport()
{
    const std::wstring sdk = InstallFolder() + L"\\VsmSDK.dll";
    const std::string original = FileBytes(sdk);
    std::string changed = original;
    const std::string name("VsmUninitialize\0", 16);
    // Every copy of the name, so the export table's too, whatever else holds it.
    for (size_t at = changed.find(name); at != std::string::npos; at = changed.find(name, at + 1))
        changed[at + name.size() - 2] = 'X';
    EXPECT_NE(original, changed);
    EXPECT_TRUE(WriteBytes(sdk, changed));
    return Undo([sdk, original] { EXPECT_TRUE(WriteBytes(sdk, original)); });
}

Undo ServiceStopped()
{
    EXPECT_EQ(0, SimStopService());
    return Undo([] { EXPECT_EQ(0, SimStartService()); });
}

Undo ExpiredCertificate()
{
    InsertCard(L"card-expired.der");
    return Undo([] { InsertCard(L"card-alice.der"); });
}

Undo AsTheGuideSays() { return Undo(); }

struct Row {
    const char* name;
    Undo (*change)();
    const char* check;  // the one check whose finding changes; nullptr: none
    const char* status;
    DWORD exitCode;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// ---- Running the check, both forms at once.

struct Findings {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
    std::vector<std::string> ids;
    std::vector<std::pair<std::string, std::string>> statusAndWhy;
};

testsupport::ProcessResult RunCheck(const wchar_t* arguments)
{
    return testsupport::RunProgram(InstallFolder() + L"\\orvcheck.exe", arguments, 30000);
}

// The table's finding lines: "STATUS  id  why".
Findings ReadTable(const testsupport::ProcessResult& run)
{
    Findings findings{run.exitCode, run.output, {}, {}};
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string status, id, why;
        words >> status >> id;
        if (status != "OK" && status != "WARN" && status != "FAIL")
            continue;
        std::getline(words >> std::ws, why);
        findings.ids.push_back(id);
        findings.statusAndWhy.emplace_back(status, why);
    }
    return findings;
}

// The admin guide's section anchors, as GitHub makes them from the headings.
std::vector<std::string> GuideAnchors()
{
    std::string path = "Z:" ORVANE_SOURCE_DIR "/docs/admin-guide.md";
    for (char& c : path)
        if (c == '/')
            c = '\\';
    std::ifstream guide(path.c_str());
    std::vector<std::string> anchors;
    for (std::string line; std::getline(guide, line);) {
        if (line.compare(0, 2, "##") != 0)
            continue;
        std::string anchor;
        for (char c : line.substr(line.find_first_not_of("# ")))
            if (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
                anchor += static_cast<char>(tolower(static_cast<unsigned char>(c)));
            else if (c == ' ')
                anchor += '-';
        anchors.push_back(anchor);
    }
    return anchors;
}

// The JSON's findings, its shape checked on the way: every member there, of its type.
Findings ReadJson(const testsupport::ProcessResult& run)
{
    Findings findings{run.exitCode, run.output, {}, {}};
    JsonValue report;
    EXPECT_TRUE(testsupport::JsonReader::Read(run.output, report)) << "not JSON:\n" << run.output;
    if (report.kind != JsonValue::Kind::Object || !report.Has("checks"))
        return findings;
    EXPECT_EQ("orvcheck", report["tool"].text);
    EXPECT_EQ("1.0.0.0", report["version"].text);
    EXPECT_EQ(JsonValue::Kind::String, report["computer"].kind);
    EXPECT_EQ(JsonValue::Kind::String, report["user"].kind);
    EXPECT_EQ(static_cast<double>(run.exitCode), report["exitCode"].number);
    static const char* const kResults[] = {"OK", "WARN", "FAIL"};
    EXPECT_EQ(kResults[run.exitCode < 3 ? run.exitCode : 0], report["result"].text);
    static const std::vector<std::string> anchors = GuideAnchors();
    for (const JsonValue& check : report["checks"].items) {
        EXPECT_EQ(5u, check.members.size());
        for (const char* member : {"id", "status", "why", "guide", "section"})
            EXPECT_TRUE(check.Has(member) && check[member].kind == JsonValue::Kind::String) << member;
        if (check.members.size() != 5)
            continue;
        const std::string guide = check["guide"].text, prefix = "docs/admin-guide.md#";
        EXPECT_EQ(prefix, guide.substr(0, prefix.size()));
        EXPECT_NE(anchors.end(), std::find(anchors.begin(), anchors.end(), guide.substr(prefix.size())))
            << guide << " is no section of the admin guide";
        findings.ids.push_back(check["id"].text);
        findings.statusAndWhy.emplace_back(check["status"].text, check["why"].text);
    }
    return findings;
}

class KioskCheck : public testing::TestWithParam<Row> {
public:
    // Installed and set up once for all rows; every row undoes its change.
    static void SetUpTestSuite() { s_ready = SetUpKiosk(); }
    static void TearDownTestSuite() { s_sdkLog.reset(); }

protected:
    static std::string SetUpKiosk();
    static std::string s_ready;
    static std::unique_ptr<testsupport::LogFile> s_sdkLog;
};

std::string KioskCheck::s_ready = "not set up";
std::unique_ptr<testsupport::LogFile> KioskCheck::s_sdkLog;

std::string KioskCheck::SetUpKiosk()
{
    // Every load and call of the SDK stand-in lands here: the check must make none.
    s_sdkLog.reset(new testsupport::LogFile(L"VSMSDK_LOG", L"orvcheck-vsmsdk.log"));
    const std::wstring package = testsupport::BesideTestProgram(L"installer\\Orvane.msi");
    if (RunSystemProgram(L"msiexec.exe", L"/i \"" + package + L"\" /qn DESKTOPURL=" + kDesktopUrl) != 0)
        return "the package did not install";
    const std::wstring folder = InstallFolder();
    // The simulated smart-card service for the check, the SDK stand-in where the shell finds it.
    for (const wchar_t* file : {L"winscard.dll", L"VsmSDK.dll"})
        if (!CopyFileW(testsupport::BesideTestProgram(file).c_str(), (folder + L"\\" + file).c_str(), FALSE))
            return "cannot copy the test bed beside the programs";
    if (!standin::RegisterCardProvider() || SimReset() != 0 || SimAttachReader(kReader) != 0)
        return "the card provider or the simulated service is not there";
    InsertCard(L"card-alice.der");
    ConfigureAsTheGuideSays(folder);
    return testing::Test::HasFailure() ? "the kiosk could not be set up" : "";
}

TEST_P(KioskCheck, FindsExactlyTheBrokenSetting)
{
    ASSERT_EQ("", s_ready);
    const Row& row = GetParam();
    const Undo change = row.change();
    auto table = std::async(std::launch::async, [] { return ReadTable(RunCheck(L"")); });
    const Findings json = ReadJson(RunCheck(L"/json"));
    const Findings person = table.get();

    EXPECT_EQ(row.exitCode, json.exitCode) << person.output;
    EXPECT_EQ(row.exitCode, person.exitCode);
    EXPECT_EQ(std::vector<std::string>(std::begin(kCheckIds), std::end(kCheckIds)), json.ids) << json.output;
    EXPECT_EQ(json.ids, person.ids);
    EXPECT_EQ(json.statusAndWhy, person.statusAndWhy) << "the table and the JSON differ:\n"
                                                      << person.output << json.output;
    for (size_t i = 0; i < json.ids.size(); ++i) {
        const bool broken = row.check && json.ids[i] == row.check;
        EXPECT_EQ(broken ? row.status : "OK", json.statusAndWhy[i].first)
            << json.ids[i] << ": " << json.statusAndWhy[i].second;
    }
    EXPECT_TRUE(s_sdkLog->Lines().empty()) << "the check loaded the session-control SDK";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KioskCheck,
    testing::Values(Row{"AsTheGuideSays", AsTheGuideSays, nullptr, "OK", 0},
                    Row{"ChangedAfterSigning", ChangedAfterSigning, "signatures", "FAIL", 2},
                    Row{"ClassUnregistered", ClassUnregistered, "control-registration", "FAIL", 2},
                    Row{"ControlNotApproved", ControlNotApproved, "control-approval", "FAIL", 2},
                    Row{"KillBit", KillBit, "control-approval", "FAIL", 2},
                    Row{"ProtectedModeOn", ProtectedModeOn, "desktop-zone", "FAIL", 2},
                    Row{"LockWithoutTheDesktop", LockWithoutTheDesktop, "site-lock", "FAIL", 2},
                    Row{"NoLock", NoLock, "site-lock", "WARN", 1},
                    Row{"ShellIsExplorer", ShellIsExplorer, "shell", "FAIL", 2},
                    Row{"NoHandOffKey", NoHandOffKey, "hand-off-key", "FAIL", 2},
                    Row{"SdkMissing", SdkMissing, "session-sdk", "FAIL", 2},
                    Row{"SdkWithoutAnExport", SdkWithoutAnExport, "session-sdk", "FAIL", 2},
                    Row{"ServiceStopped", ServiceStopped, "smart-cards", "WARN", 1},
                    Row{"ExpiredCertificate", ExpiredCertificate, "smart-cards", "WARN", 1}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
