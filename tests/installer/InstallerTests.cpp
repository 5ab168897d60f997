// The package, end to end, in a Wine prefix of its own (tests/installer/in-scratch-prefix):
// a silent install with settings on the command line, what it put where, the control by
// ProgID from the script host, the type library, the "vantor:" scheme, the Active Setup
// command; a major upgrade; the uninstall. The package is this build's (32-bit, or the
// 64-bit test variant on a host without 32-bit support): paths and registry views follow.
#include <windows.h>
#include <imagehlp.h>
#include <msi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "Process.h"
#include "ScratchRegistry.h"
#include "UniqueHandle.h"

namespace {

using testsupport::FileBytes;
using testsupport::InstallFolder;
using testsupport::SystemProgram;

const wchar_t kUpgradeCode[] = L"{4C2D9B17-6E0A-4F53-9A8E-2B71D5C0E913}";
const wchar_t kConfigKey[] = L"SOFTWARE\\Tessam\\Orvane";
const wchar_t kClsidKey[] = L"CLSID\\{9E96B5EC-8318-4927-B026-630DFD86D539}\\InprocServer32";
const wchar_t kActiveSetupKey[] =
    L"SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\{0B8E5A3C-7D21-4F96-A4E0-6C9B2D8F1E57}";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvane";
// Internet Explorer's pre-approved list (no "run this add-on?" prompt for the control) and its
// prompt before it opens a "vantor:" link.
const wchar_t kPreApprovedKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved\\{9E96B5EC-8318-4927-B026-630DFD86D539}";
const wchar_t kProtocolExecuteKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\ProtocolExecute\\vantor";
// The four deliverables and the kiosk check beside them.
const wchar_t* const kPackageFiles[] = {L"Keyvora.dll", L"Ambrel.exe", L"vantor.exe", L"Tumblet.exe", L"orvcheck.exe"};
const GUID kLibId = {0xC6BF16ED, 0xD903, 0x4A22, {0x83, 0xF7, 0x29, 0xF9, 0xE5, 0xE6, 0xCE, 0x17}};
#ifdef _WIN64
const REGSAM kView = KEY_WOW64_64KEY;
const wchar_t kProgramFilesName[] = L"Program Files";
#else
const REGSAM kView = KEY_WOW64_32KEY;
const wchar_t kProgramFilesName[] = L"Program Files (x86)";
#endif

DWORD Msiexec(const std::wstring& arguments)
{
    return testsupport::RunProgram(SystemProgram(L"msiexec.exe"), arguments, 120000).exitCode;
}

std::wstring Package(const wchar_t* name) { return testsupport::BesideTestProgram(std::wstring(L"installer\\") + name); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The value as text (a DWORD as its decimal digits); "(missing)" when absent.
std::wstring Value(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view = kView)
{
    const tsmb::UniqueRegistryKey handle = testsupport::OpenKey(root, key, KEY_QUERY_VALUE | view);
    if (!handle)
        return L"(missing)";
    BYTE data[2048] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t), type = 0;
    const LONG result = RegQueryValueExW(handle.Get(), name, nullptr, &type, data, &size);
    if (result != ERROR_SUCCESS)
        return L"(missing)";
    if (type == REG_DWORD)
        return std::to_wstring(*reinterpret_cast<DWORD*>(data));
    return reinterpret_cast<wchar_t*>(data);
}

// AllowedSites: its strings joined by "|", "(missing)", or "(not REG_MULTI_SZ)".
std::wstring AllowedSites()
{
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - 2 * sizeof(wchar_t), type = 0;
    const tsmb::UniqueRegistryKey key = testsupport::OpenKey(HKEY_LOCAL_MACHINE, kConfigKey, KEY_QUERY_VALUE | kView);
    if (!key)
        return L"(missing)";
    const LONG result =
        RegQueryValueExW(key.Get(), L"AllowedSites", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    if (result != ERROR_SUCCESS)
        return L"(missing)";
    if (type != REG_MULTI_SZ)
        return L"(not REG_MULTI_SZ)";
    std::wstring joined;
    for (const wchar_t* entry = data; *entry; entry += wcslen(entry) + 1)
        joined += (joined.empty() ? L"" : L"|") + std::wstring(entry);
    return joined;
}

bool KeyExists(HKEY root, const std::wstring& key, REGSAM view = kView)
{
    return static_cast<bool>(testsupport::OpenKey(root, key, KEY_QUERY_VALUE | view));
}

// The script host creates the control by ProgID and reads a property ("created 255" as the
// last line); with the control's trace on, its lines come before.
std::string CreateByProgId()
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring script = std::wstring(folder) + L"create-keyvora.js";
    std::ofstream(script.c_str()) << "try { var c = new ActiveXObject(\"Keyvora.KeyvoraCtl\");"
                                     " WScript.Echo(\"created \" + c.LastReportedSCardEventType); }"
                                     " catch (e) { WScript.Echo(\"failed \" + e.number); }\n";
    std::string output = testsupport::RunProgram(SystemProgram(L"cscript.exe"), L"//nologo \"" + script + L"\"").output;
    DeleteFileW(script.c_str());
    output.erase(output.find_last_not_of("\r\n") + 1);
    return output;
}

// What the script printed, without the control's trace lines ("\n[SCardAuth:...]").
std::string WithoutTrace(std::string text)
{
    for (size_t at; (at = text.find("\n[SCardAuth:")) != std::string::npos;)
        text.erase(at, text.find(']', at) + 1 - at);
    text.erase(0, text.find_first_not_of("\r\n"));
    text.erase(text.find_last_not_of("\r\n") + 1);
    return text;
}

// Authenticode certificates in a file's certificate table.
DWORD Certificates(const std::wstring& path)
{
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return 0;
    const tsmb::UniqueHandle file(opened);
    DWORD count = 0;
    if (!ImageEnumerateCertificates(file.Get(), CERT_SECTION_TYPE_ANY, &count, nullptr, 0))
        count = 0;
    return count;
}

std::vector<std::wstring> RelatedProducts()
{
    std::vector<std::wstring> products;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        products.push_back(code);
    return products;
}

std::wstring ProductVersion(const std::wstring& product)
{
    wchar_t version[64] = {};
    DWORD size = 64;
    MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size);
    return version;
}

void CheckSettings()
{
    EXPECT_EQ(L"http://desk.example/start", Value(HKEY_LOCAL_MACHINE, kConfigKey, L"DesktopURL"));
    EXPECT_EQ(L"http://desk.example/reset", Value(HKEY_LOCAL_MACHINE, kConfigKey, L"DesktopResetURL"));
    EXPECT_EQ(L"1", Value(HKEY_LOCAL_MACHINE, kConfigKey, L"AmbrelAutoLogOff"));
    EXPECT_EQ(L"1", Value(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Debug", L"Keyvora"));
    EXPECT_EQ(L"0", Value(HKEY_LOCAL_MACHINE, std::wstring(kConfigKey) + L"\\Debug", L"Ambrel"));
    // No ALLOWEDSITES: the package locks the control to the desktop page's site.
    EXPECT_EQ(L"http://desk.example/start", AllowedSites());
}

void CheckRegistration(const std::wstring& folder)
{
    EXPECT_EQ(folder + L"\\Keyvora.dll", Value(HKEY_CLASSES_ROOT, kClsidKey, nullptr));
    EXPECT_EQ(L"Apartment", Value(HKEY_CLASSES_ROOT, kClsidKey, L"ThreadingModel"));
    // The package wrote KEYVORADEBUG=1 into its own view and the control reads the 32-bit
    // view: the trace is on where both are 32-bit, and off for the 64-bit test package, whose
    // values lie in the view the control does not read.
    const bool controlReadsThePackagesView = kView == KEY_WOW64_32KEY;
    // The script host is no page: where the control sees the package's site lock, it refuses
    // the host (E_ACCESSDENIED).
    const std::string output = CreateByProgId();
    EXPECT_EQ(controlReadsThePackagesView ? "failed -2147024891" : "created 255", WithoutTrace(output)) << output;
    EXPECT_EQ(controlReadsThePackagesView,
              output.find("[SCardAuth:CKeyvoraCtl::CKeyvoraCtl: executing...]") != std::string::npos)
        << output;
    ITypeLib* library = nullptr;
    EXPECT_EQ(S_OK, LoadRegTypeLib(kLibId, 1, 0, 0, &library));
    if (library)
        library->Release();
    BSTR path = nullptr;
    EXPECT_EQ(S_OK, QueryPathOfRegTypeLib(kLibId, 1, 0, 0, &path));
    EXPECT_EQ(folder + L"\\Keyvora.dll", std::wstring(path ? path : L""));
    SysFreeString(path);
}

// What the package leaves of Internet Explorer's settings: the control approved (or not),
// WarnOnOpen of "vantor:" as text ("(missing)" when the package left it alone).
void CheckInternetExplorerSettings(bool approved, const wchar_t* warnOnOpen)
{
    EXPECT_EQ(approved, KeyExists(HKEY_LOCAL_MACHINE, kPreApprovedKey));
    EXPECT_EQ(warnOnOpen, Value(HKEY_LOCAL_MACHINE, kProtocolExecuteKey, L"WarnOnOpen"));
}

}  // namespace

TEST(Package, InstallsSilentlyUpgradesAndUninstallsCleanly)
{
    const std::wstring folder = InstallFolder();
    EXPECT_NE(std::wstring::npos, folder.find(std::wstring(L"\\") + kProgramFilesName + L"\\")) << folder;
    ASSERT_TRUE(RelatedProducts().empty()) << "needs a prefix without the product";

    // ---- Silent install with the settings as properties.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") +
                          L"\" /qn DESKTOPURL=http://desk.example/start DESKTOPRESETURL=http://desk.example/reset "
                          L"AMBRELAUTOLOGOFF=1 KEYVORADEBUG=1"));
    for (const wchar_t* file : kPackageFiles)
        EXPECT_TRUE(Exists(folder + L"\\" + file)) << file;
    CheckSettings();
    CheckRegistration(folder);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kConfigKey)) << "the installing user's parent key";
    EXPECT_EQ(folder + L"\\Ambrel.exe", Value(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile"));
    EXPECT_EQ(L"7", Value(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported"));
    CheckInternetExplorerSettings(true, L"(missing)");
    const std::vector<std::wstring> installed = RelatedProducts();
    ASSERT_EQ(1u, installed.size());
    const std::wstring firstVersion = ProductVersion(installed[0]);

    // ---- "vantor:restart" starts the installed vantor.exe, which ends the browser.
    {
        const std::wstring browser = testsupport::BesideTestProgram(L"iexplore.exe");
        testsupport::ChildProcess stand(browser, L"\"" + browser + L"\"");
        ASSERT_NE(nullptr, stand.WaitForWindow(L"IEFrame", 60000));
        EXPECT_EQ(L"\"" + folder + L"\\vantor.exe\" %1", Value(HKEY_CLASSES_ROOT, L"vantor\\shell\\open\\command", nullptr));
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.lpFile = L"vantor:restart";
        info.nShow = SW_HIDE;
        ASSERT_TRUE(ShellExecuteExW(&info)) << GetLastError();
        const tsmb::UniqueHandle vantor(info.hProcess);
        if (vantor) {
            WaitForSingleObject(vantor.Get(), 20000);
            DWORD code = 1;
            GetExitCodeProcess(vantor.Get(), &code);
            EXPECT_EQ(0u, code);
        }
        EXPECT_TRUE(stand.WaitForExit(10000)) << "the browser stand-in was not ended";
    }

    // ---- The Active Setup command makes a user's parent key.
    EXPECT_EQ(L"Orvane", Value(HKEY_LOCAL_MACHINE, kActiveSetupKey, nullptr));
    EXPECT_EQ(L"1", Value(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"IsInstalled"));
    const std::wstring stub = Value(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"StubPath");
    ASSERT_EQ(0, RegDeleteKeyW(HKEY_CURRENT_USER, kConfigKey));
    ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kConfigKey));
    EXPECT_EQ(0u, testsupport::RunProgram(SystemProgram(L"cmd.exe"), L"/c " + stub).exitCode) << stub.c_str();
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kConfigKey));

    // ---- Major upgrade without properties: one product, settings and registration intact
    // (Wine removes the old product after installing the new one).
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    const std::vector<std::wstring> upgraded = RelatedProducts();
    ASSERT_EQ(1u, upgraded.size());
    EXPECT_NE(installed[0], upgraded[0]);
    EXPECT_NE(firstVersion, ProductVersion(upgraded[0]));
    CheckSettings();
    CheckRegistration(folder);
    CheckInternetExplorerSettings(true, L"(missing)");
    EXPECT_TRUE(Exists(folder + L"\\vantor.exe"));

    // ---- A downgrade is refused.
    EXPECT_NE(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") + L"\" /qn"));
    EXPECT_EQ(upgraded, RelatedProducts());

    // ---- Uninstall: everything of the product goes, the user's data stays.
    const DWORD flag = 1;
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_CURRENT_USER, kConfigKey, L"DesktopResetInProgress", REG_DWORD, &flag, sizeof(flag)));
    ASSERT_EQ(0u, Msiexec(L"/x \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    EXPECT_TRUE(RelatedProducts().empty());
    for (const wchar_t* file : kPackageFiles)
        EXPECT_FALSE(Exists(folder + L"\\" + file)) << file;
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kConfigKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{9E96B5EC-8318-4927-B026-630DFD86D539}"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Keyvora.KeyvoraCtl"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{C6BF16ED-D903-4A22-83F7-29F9E5E6CE17}"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"vantor"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kActiveSetupKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEventSourceKey));
    CheckInternetExplorerSettings(false, L"(missing)");
    EXPECT_EQ(L"1", Value(HKEY_CURRENT_USER, kConfigKey, L"DesktopResetInProgress"));
    EXPECT_EQ("failed", CreateByProgId().substr(0, 6));
}

TEST(Package, SiteLockFromItsPropertiesKeptOnUpgrade)
{
    ASSERT_TRUE(RelatedProducts().empty()) << "needs a prefix without the product";
    const bool controlReadsThePackagesView = kView == KEY_WOW64_32KEY;

    // The sites given win over the desktop page's.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") +
                          L"\" /qn DESKTOPURL=http://desk.example/ \"ALLOWEDSITES=https://a.example;https://*.b.example\""));
    EXPECT_EQ(L"https://a.example;https://*.b.example", AllowedSites());
    // An upgrade without the property keeps them.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    EXPECT_EQ(L"https://a.example;https://*.b.example", AllowedSites());
    ASSERT_EQ(0u, Msiexec(L"/x \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    EXPECT_EQ(L"(missing)", AllowedSites());

    // "*": no lock, even with a desktop page; and an upgrade without properties keeps that.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") + L"\" /qn DESKTOPURL=http://desk.example/ ALLOWEDSITES=*"));
    EXPECT_EQ(L"(missing)", AllowedSites());
    EXPECT_EQ("created 255", WithoutTrace(CreateByProgId()));
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    EXPECT_EQ(L"(missing)", AllowedSites());
    ASSERT_EQ(0u, Msiexec(L"/x \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));

    // Neither property: nothing written.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") + L"\" /qn"));
    EXPECT_EQ(L"(missing)", AllowedSites());
    // A lock that lists a page still refuses the script host, which is none.
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn ALLOWEDSITES=https://desk.example"));
    EXPECT_EQ(L"https://desk.example", AllowedSites());
    EXPECT_EQ(controlReadsThePackagesView ? "failed -2147024891" : "created 255", WithoutTrace(CreateByProgId()));
    ASSERT_EQ(0u, Msiexec(L"/x \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    EXPECT_EQ(L"(missing)", AllowedSites());
}

// The properties about Internet Explorer's own settings: what an install with them leaves, an
// upgrade without properties keeps, and the uninstall removes.
struct BrowserSettingsRow {
    const wchar_t* properties;
    bool approved;
    const wchar_t* warnOnOpen;
};

void PrintTo(const BrowserSettingsRow& row, std::ostream* out)
{
    *out << testing::PrintToString(std::wstring(row.properties));
}

class PackageBrowserSettings : public testing::TestWithParam<BrowserSettingsRow> {};

TEST_P(PackageBrowserSettings, WrittenKeptOnUpgradeAndRemoved)
{
    const BrowserSettingsRow& row = GetParam();
    ASSERT_TRUE(RelatedProducts().empty()) << "needs a prefix without the product";
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane.msi") + L"\" /qn " + row.properties));
    CheckInternetExplorerSettings(row.approved, row.warnOnOpen);
    ASSERT_EQ(0u, Msiexec(L"/i \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    CheckInternetExplorerSettings(row.approved, row.warnOnOpen);
    ASSERT_EQ(0u, Msiexec(L"/x \"" + Package(L"Orvane-upgrade.msi") + L"\" /qn"));
    CheckInternetExplorerSettings(false, L"(missing)");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProtocolExecuteKey));
}

INSTANTIATE_TEST_SUITE_P(Rows, PackageBrowserSettings,
                         testing::Values(BrowserSettingsRow{L"APPROVECONTROL=0", false, L"(missing)"},
                                         BrowserSettingsRow{L"VANTORNOPROMPT=1", true, L"0"},
                                         BrowserSettingsRow{L"APPROVECONTROL=0 VANTORNOPROMPT=1", false, L"0"}));

// The set signed with the test certificate (osslsigncode verifies it outside Wine): the
// package installs, its installed files are the signed ones, and the signed control registers
// and is created by ProgID.
TEST(Package, SignedPackageInstallsItsSignedFiles)
{
    ASSERT_TRUE(RelatedProducts().empty()) << "needs a prefix without the product";
    const std::wstring folder = InstallFolder();
    ASSERT_EQ(0u, Msiexec(L"/i \"" + testsupport::BesideTestProgram(L"signed\\Orvane.msi") + L"\" /qn"));
    for (const wchar_t* file : kPackageFiles) {
        const std::wstring signedFile = testsupport::BesideTestProgram(std::wstring(L"signed\\") + file);
        EXPECT_EQ(1u, Certificates(signedFile)) << file;
        EXPECT_TRUE(FileBytes(signedFile) == FileBytes(folder + L"\\" + file)) << file;
    }
    EXPECT_EQ("created 255", WithoutTrace(CreateByProgId()));
    ASSERT_EQ(0u, Msiexec(L"/x \"" + testsupport::BesideTestProgram(L"signed\\Orvane.msi") + L"\" /qn"));
    EXPECT_EQ("failed", CreateByProgId().substr(0, 6));

    const std::wstring control = testsupport::BesideTestProgram(L"signed\\Keyvora.dll");
    EXPECT_EQ(0u, testsupport::RunProgram(SystemProgram(L"regsvr32.exe"), L"/s \"" + control + L"\"").exitCode);
    EXPECT_EQ("created 255", WithoutTrace(CreateByProgId()));
    EXPECT_EQ(0u, testsupport::RunProgram(SystemProgram(L"regsvr32.exe"), L"/u /s \"" + control + L"\"").exitCode);
    EXPECT_EQ("failed", CreateByProgId().substr(0, 6));
}
