#include "Process.h"
#include "ScratchRegistry.h"
#include "TraceCapture.h"

#include "HandOff.h"
#include "RegistryKey.h"
#include "Trace.h"
#include "Win32Error.h"

#include <gtest/gtest.h>

using testsupport::ImportHook;
using testsupport::ScratchKey;
using testsupport::TraceCapture;

namespace {

const wchar_t kScratch[] = L"SOFTWARE\\TsmbTests";

class RegistryTest : public ::testing::Test {
protected:
    testsupport::ComponentTrace m_component{L"SCardAmbrel"};
    ScratchKey m_scratch{HKEY_LOCAL_MACHINE, kScratch};
};

DWORD CodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const tsmb::Win32Error& e) {
        return e.GetErrorCode();
    }
    return 0;
}

WORD g_architecture = PROCESSOR_ARCHITECTURE_AMD64;
void WINAPI FakeNativeSystemInfo(LPSYSTEM_INFO info)
{
    ZeroMemory(info, sizeof(*info));
    info->wProcessorArchitecture = g_architecture;
}

std::vector<REGSAM> g_masks;
LONG WINAPI RecordingRegOpenKeyExW(HKEY parent, LPCWSTR name, DWORD options, REGSAM mask, PHKEY key)
{
    g_masks.push_back(mask);
    static auto real = testsupport::RealExport<decltype(&RegOpenKeyExW)>(L"advapi32.dll", "RegOpenKeyExW");
    // Recorded as asked, opened where the scratch key is (a 64-bit test build sees another
    // view without the flag).
    return real(parent, name, options, mask | KEY_WOW64_32KEY, key);
}
LONG WINAPI RecordingRegCreateKeyExW(HKEY parent, LPCWSTR name, DWORD reserved, LPWSTR cls, DWORD options, REGSAM mask,
                                     const LPSECURITY_ATTRIBUTES sa, PHKEY key, LPDWORD disposition)
{
    g_masks.push_back(mask);
    static auto real = testsupport::RealExport<decltype(&RegCreateKeyExW)>(L"advapi32.dll", "RegCreateKeyExW");
    return real(parent, name, reserved, cls, options, mask | KEY_WOW64_32KEY, sa, key, disposition);
}

// The parent of the scratch key, created so that tests can open it.
RefPtr<tsmb::RegistryKey> OpenScratch(const ScratchKey& scratch)
{
    scratch.SetDword(L"marker", 1);
    return RefPtr<tsmb::RegistryKey>(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, scratch.Path(), KEY_ALL_ACCESS));
}

}  // namespace

TEST_F(RegistryTest, SixtyFourBitWindows_EveryOpenAndCreateUsesThe32BitView)
{
    // The same key seen in the 64-bit view, where the 32-bit one lies under Wow6432Node.
    ScratchKey native(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\TsmbTests\\Child", KEY_WOW64_64KEY);
    auto key = OpenScratch(m_scratch);
    DWORD disposition = 0;
    auto sub = key->CreateSubkey(L"Child", 0, KEY_ALL_ACCESS, nullptr, disposition);
    sub->SetStringValue(L"Name", L"value");
    DWORD type = 0, size = 0;
    std::wstring text;
    ASSERT_TRUE(native.GetRaw(L"Name", type, text, size));
    EXPECT_EQ(text, std::wstring(L"value", 6));
    EXPECT_EQ(tsmb::GetRegistryViewFlag(), static_cast<REGSAM>(KEY_WOW64_32KEY));
}

TEST_F(RegistryTest, ViewFlag_FollowsTheNativeArchitecture)
{
    m_scratch.SetDword(L"marker", 1);
    struct Case { WORD architecture; REGSAM flag; };
    const Case cases[] = {{PROCESSOR_ARCHITECTURE_AMD64, KEY_WOW64_32KEY},
                          {PROCESSOR_ARCHITECTURE_INTEL, 0},
                          {PROCESSOR_ARCHITECTURE_IA64, 0},
                          {12 /* ARM64 */, 0}};
    for (const Case& c : cases) {
        g_architecture = c.architecture;
        g_masks.clear();
        {
            ImportHook info(nullptr, "GetNativeSystemInfo", &FakeNativeSystemInfo);
            ImportHook open(nullptr, "RegOpenKeyExW", &RecordingRegOpenKeyExW);
            ImportHook create(nullptr, "RegCreateKeyExW", &RecordingRegCreateKeyExW);
            EXPECT_EQ(tsmb::GetRegistryViewFlag(), c.flag);
            RefPtr<tsmb::RegistryKey> key(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, kScratch, KEY_ALL_ACCESS));
            DWORD disposition = 0;
            key->CreateSubkey(L"Child", 0, KEY_ALL_ACCESS, nullptr, disposition);
        }
        ASSERT_EQ(g_masks.size(), 2u);
        for (REGSAM mask : g_masks)
            EXPECT_EQ(mask, static_cast<REGSAM>(KEY_ALL_ACCESS | c.flag)) << "architecture " << c.architecture;
    }
}

TEST_F(RegistryTest, OpenMissingKey_ThrowsFileNotFoundAndNamesTheKey)
{
    TraceCapture capture;
    EXPECT_EQ(CodeOf([] { tsmb::RegistryKey key(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TsmbTests\\Missing", KEY_READ); }), 2u);
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"SCardAmbreltsmb::RegistryKey::RegistryKey:RegOpenKeyEx: failed for key name: "
                                       "SOFTWARE\\TsmbTests\\Missing with error: 2"});
}

struct QueryCase {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    DWORD dwordCode;        // what QueryDwordValue throws (0: returns dwordValue)
    DWORD dwordValue;
    const char* dwordLine;  // its trace line, or nullptr for none
    DWORD stringCode;       // what QueryStringValue throws (0: returns text)
    const wchar_t* text;
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }

class TypedQuery : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(TypedQuery, EnforcesTypeBeforeSize)
{
    const QueryCase& c = GetParam();
    m_scratch.SetRaw(L"v", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    RefPtr<tsmb::RegistryKey> key(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, kScratch, KEY_QUERY_VALUE));
    TraceCapture capture;
    DWORD value = 0;
    EXPECT_EQ(CodeOf([&] { key->QueryDwordValue(L"v", value); }), c.dwordCode);
    if (c.dwordCode == 0) {
        EXPECT_EQ(value, c.dwordValue);
    }
    if (c.dwordLine) {
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.dwordLine});
    }
    std::wstring text = L"old";
    EXPECT_EQ(CodeOf([&] { key->QueryStringValue(L"v", text); }), c.stringCode);
    if (c.stringCode == 0) {
        EXPECT_EQ(text, c.text);
    }
}

const DWORD kType = ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE;
const DWORD kSize = ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE;

INSTANTIATE_TEST_SUITE_P(
    Registry, TypedQuery,
    ::testing::Values(
        QueryCase{"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, 0, 0x12345678, nullptr, kType, nullptr},
        QueryCase{"DwordAllOnes", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, 0, 0xFFFFFFFF, nullptr, kType, nullptr},
        QueryCase{"StringAsDword", REG_SZ, {'1', 0, 0, 0}, kType, 0,
                  "SCardAmbreltsmb::RegistryKey::QueryDwordValue: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE: "
                  "expected type: 4 retrieved type: 1",
                  0, L"1"},
        QueryCase{"EightByteBinary", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}, kType, 0,
                  "SCardAmbreltsmb::RegistryKey::QueryDwordValue: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_TYPE: "
                  "expected type: 4 retrieved type: 3",
                  kType, nullptr},
        QueryCase{"TwoByteDword", REG_DWORD, {1, 0}, kSize, 0,
                  "SCardAmbreltsmb::RegistryKey::QueryDwordValue: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE: "
                  "expected size: 4 retrieved size: 2",
                  kType, nullptr},
        QueryCase{"EmptyDword", REG_DWORD, {}, kSize, 0,
                  "SCardAmbreltsmb::RegistryKey::QueryValue: failed with ERROR_TSMB_ERROR_INVALID_REGISTRY_VALUE_SIZE", kSize,
                  nullptr},
        QueryCase{"EmptyString", REG_SZ, {}, kSize, 0, nullptr, kSize, nullptr},
        QueryCase{"NoTerminator", REG_SZ, {'a', 0, 'b', 0}, kType, 0, nullptr, 0, L"ab"},
        QueryCase{"EmbeddedZero", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}, kType, 0, nullptr, 0, L"a"},
        QueryCase{"OddLength", REG_SZ, {'a', 0, 'b'}, kType, 0, nullptr, 0, L"a"},
        QueryCase{"ExpandString", REG_EXPAND_SZ, {'a', 0, 0, 0}, kType, 0, nullptr, kType, nullptr},
        QueryCase{"MultiString", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}, kType, 0, nullptr, kType, nullptr}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, QueryMissingValue_TracesAndThrowsTheRegistryCode)
{
    auto key = OpenScratch(m_scratch);
    TraceCapture capture;
    std::vector<BYTE> data{1, 2};
    DWORD type = 0;
    EXPECT_EQ(CodeOf([&] { key->QueryValue(L"absent", data, type); }), 2u);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"SCardAmbreltsmb::RegistryKey::QueryValue:RegQueryValueEx: failed with error: 2"});
}

// The quiet forms serve configuration whose absence is ordinary (the shell, Tumblet): a missing
// key or value is a false result, an empty value is read, and nothing is traced or thrown.
TEST_F(RegistryTest, QuietForms_AnswerByResultAndTraceNothing)
{
    m_scratch.SetDword(L"flag", 7);
    m_scratch.SetRaw(L"empty", REG_SZ, nullptr, 0);
    TraceCapture capture;
    EXPECT_FALSE(tsmb::RegistryKey::TryOpen(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TsmbTests\\Missing", KEY_READ));
    const RefPtr<tsmb::RegistryKey> key =
        tsmb::RegistryKey::TryOpen(HKEY_LOCAL_MACHINE, kScratch, KEY_QUERY_VALUE | KEY_SET_VALUE);
    ASSERT_TRUE(key);
    std::vector<BYTE> data{1};
    DWORD type = REG_NONE;
    EXPECT_FALSE(key->TryQueryValue(L"absent", data, type));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(key->TryQueryValue(L"empty", data, type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(key->TryQueryValue(L"flag", data, type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{7, 0, 0, 0}));
    EXPECT_TRUE(key->TryDeleteValue(L"flag"));
    EXPECT_FALSE(key->TryDeleteValue(L"flag"));
    EXPECT_FALSE(key->TryQueryValue(L"flag", data, type));
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(RegistryTest, OwnView_OpensWithTheAccessAsGiven)
{
    m_scratch.SetDword(L"marker", 1);
    g_masks.clear();
    {
        ImportHook open(nullptr, "RegOpenKeyExW", &RecordingRegOpenKeyExW);
        tsmb::RegistryKey key(HKEY_LOCAL_MACHINE, kScratch, KEY_READ, tsmb::RegistryKey::View::Own);
        EXPECT_TRUE(tsmb::RegistryKey::TryOpen(HKEY_LOCAL_MACHINE, kScratch, KEY_WRITE, tsmb::RegistryKey::View::Own));
        EXPECT_TRUE(tsmb::RegistryKey::TryOpen(HKEY_LOCAL_MACHINE, kScratch, KEY_QUERY_VALUE));
    }
    EXPECT_EQ(g_masks, (std::vector<REGSAM>{KEY_READ, KEY_WRITE, KEY_QUERY_VALUE | tsmb::GetRegistryViewFlag()}));
}

TEST_F(RegistryTest, SetStringValue_WritesTerminatedTextAndRejectsEmpty)
{
    auto key = OpenScratch(m_scratch);
    TraceCapture capture;
    EXPECT_EQ(CodeOf([&] { key->SetStringValue(L"s", L""); }), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"SCardAmbreltsmb::RegistryKey::SetStringValue: failed with ERROR_BAD_ARGUMENTS"});
    DWORD type = 0, size = 0;
    std::wstring raw;
    EXPECT_FALSE(m_scratch.GetRaw(L"s", type, raw, size));

    key->SetStringValue(L"s", L"abc");
    ASSERT_TRUE(m_scratch.GetRaw(L"s", type, raw, size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(raw, std::wstring(L"abc", 4));
}

// The control and the shell meet only here: these texts are the contract, and every other test
// names the key, the value and the cleared text through these constants.
TEST_F(RegistryTest, HandOff_FixedTexts_ReadWriteAndEmptyOnlyForTheSameName)
{
    using tsmb::HandOffKey;
    EXPECT_STREQ(L"SOFTWARE\\Tessam\\Orvane", HandOffKey::kParentKey);
    EXPECT_STREQ(L"SCardAuth", HandOffKey::kSubkey);
    EXPECT_STREQ(L"SOFTWARE\\Tessam\\Orvane\\SCardAuth", HandOffKey::kKey);
    EXPECT_STREQ(L"AuthenticationReader", HandOffKey::kValue);
    EXPECT_STREQ(L"cleared => none", HandOffKey::kCleared);

    ScratchKey scratch(HKEY_CURRENT_USER, HandOffKey::kKey);
    EXPECT_EQ(CodeOf([] { HandOffKey key(KEY_QUERY_VALUE); }), 2u);
    scratch.SetString(HandOffKey::kValue, L"Reader A");
    HandOffKey key(KEY_QUERY_VALUE | KEY_SET_VALUE);
    EXPECT_EQ(key.Read(), L"Reader A");
    EXPECT_FALSE(key.EmptyIfItNames(L"reader a"));  // reader names compare exactly
    EXPECT_EQ(key.Read(), L"Reader A");
    EXPECT_TRUE(key.EmptyIfItNames(L"Reader A"));
    DWORD type = 0, size = 0;
    std::wstring raw;
    ASSERT_TRUE(scratch.GetRaw(HandOffKey::kValue, type, raw, size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw, std::wstring(1, L'\0'));
    key.Write(HandOffKey::kCleared);
    EXPECT_EQ(key.Read(), L"cleared => none");
    EXPECT_EQ(CodeOf([&] { key.Write(L""); }), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
}

TEST_F(RegistryTest, CreateSubkey_VolatileCreatedThenOpened_AndEnumerated)
{
    auto key = OpenScratch(m_scratch);
    std::vector<std::wstring> names{L"stale"};
    key->EnumerateSubkeyNames(names);
    EXPECT_TRUE(names.empty());

    RefPtr<tsmb::SecurityAttributes> attributes(new tsmb::SecurityAttributes(false));
    DWORD disposition = 0;
    auto first = key->CreateSubkey(L"Volatile", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, attributes, disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    auto again = key->CreateSubkey(L"Volatile", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, attributes, disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    key->CreateSubkey(L"Second", 0, KEY_ALL_ACCESS, nullptr, disposition);

    key->EnumerateSubkeyNames(names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Second", L"Volatile"}));
}

LONG WINAPI DeniedRegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES, PHKEY,
                                  LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(RegistryTest, CreateSubkeyFailure_NamesTheSubkey)
{
    auto key = OpenScratch(m_scratch);
    RefPtr<tsmb::RegistryKey> readOnly(new tsmb::RegistryKey(HKEY_LOCAL_MACHINE, kScratch, KEY_READ));
    TraceCapture capture;
    DWORD disposition = 0;
    DWORD code = 0;
    {
        ImportHook denied(nullptr, "RegCreateKeyExW", &DeniedRegCreateKeyExW);
        code = CodeOf([&] { readOnly->CreateSubkey(L"\\bad", 0, KEY_ALL_ACCESS, nullptr, disposition); });
    }
    ASSERT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"SCardAmbreltsmb::RegistryKey::CreateSubkey:RegCreateKeyEx: failed "
                                                        "for subkey name: \\bad with error: " + std::to_string(code)});
}

namespace {
LONG WINAPI FailRegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME) { return ERROR_ACCESS_DENIED; }
LONG WINAPI FailRegCloseKey(HKEY key)
{
    testsupport::RealExport<decltype(&RegCloseKey)>(L"advapi32.dll", "RegCloseKey")(key);
    return ERROR_INVALID_HANDLE;
}
LONG WINAPI FailRegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }
}  // namespace

TEST_F(RegistryTest, EnumerateSetAndCloseFailures)
{
    auto key = OpenScratch(m_scratch);
    TraceCapture capture;
    std::vector<std::wstring> names;
    {
        ImportHook hook(nullptr, "RegEnumKeyExW", &FailRegEnumKeyExW);
        EXPECT_EQ(CodeOf([&] { key->EnumerateSubkeyNames(names); }), 5u);
    }
    {
        ImportHook hook(nullptr, "RegSetValueExW", &FailRegSetValueExW);
        EXPECT_EQ(CodeOf([&] { key->SetStringValue(L"s", L"abc"); }), 5u);
    }
    {
        ImportHook hook(nullptr, "RegCloseKey", &FailRegCloseKey);
        key = nullptr;  // traced, never thrown
    }
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                   "SCardAmbreltsmb::RegistryKey::EnumerateSubkeyNames:RegEnumKeyEx: failed with error: 5",
                                   "SCardAmbreltsmb::RegistryKey::SetStringValue:RegSetValueEx: failed with error: 5",
                                   "SCardAmbreltsmb::RegistryKey::~RegistryKey:RegCloseKey: failed with error: 6",
                               }));
}

namespace {
DWORD g_major, g_productType, g_sizeSeen;
BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info)
{
    g_sizeSeen = info->dwOSVersionInfoSize;
    auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
    ex->dwMajorVersion = g_major;
    ex->dwMinorVersion = 1;
    ex->wProductType = static_cast<BYTE>(g_productType);
    return TRUE;
}
}  // namespace

TEST(SystemInfo, IsWindows5Workstation_OnlyMajorFiveWorkstation)
{
    struct Case { DWORD major; DWORD product; bool expected; };
    const Case cases[] = {{5, VER_NT_WORKSTATION, true},
                          {5, VER_NT_SERVER, false},
                          {5, VER_NT_DOMAIN_CONTROLLER, false},
                          {6, VER_NT_WORKSTATION, false},
                          {10, VER_NT_WORKSTATION, false}};
    for (const Case& c : cases) {
        g_major = c.major;
        g_productType = c.product;
        bool result;
        {
            ImportHook hook(nullptr, "GetVersionExW", &FakeGetVersionExW);
            result = tsmb::IsWindows5Workstation();
        }
        EXPECT_EQ(result, c.expected) << c.major << "/" << c.product;
        EXPECT_EQ(g_sizeSeen, 284u);
    }
}

// The debug switch is read in a fresh process each time: tracing, once on, stays on.
class DebugSwitch : public ::testing::Test {
protected:
    static DWORD ProbeExit(const wchar_t* valueName)
    {
        return testsupport::RunBeside(L"debugswitch_probe.exe", valueName).exitCode;
    }
    ScratchKey m_debug{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tessam\\Orvane\\Debug"};
};

TEST_F(DebugSwitch, OnlyANonZeroDwordOfTheProgramsOwnNameTurnsTracingOn)
{
    struct Case { const char* name; std::function<void(const ScratchKey&)> setup; DWORD keyvora; DWORD ambrel; };
    const DWORD two = 2;
    const Case cases[] = {
        {"key absent", [](const ScratchKey&) {}, 0, 0},
        {"value absent", [](const ScratchKey& k) { k.SetDword(L"Other", 1); }, 0, 0},
        {"string", [](const ScratchKey& k) { k.SetString(L"Keyvora", L"1"); }, 0, 0},
        {"zero", [](const ScratchKey& k) { k.SetDword(L"Keyvora", 0); }, 0, 0},
        {"all ones", [](const ScratchKey& k) { k.SetDword(L"Keyvora", 0xFFFFFFFF); }, 1, 0},
        {"shell only", [](const ScratchKey& k) { k.SetDword(L"Ambrel", 1); }, 0, 1},
        {"two bytes", [two](const ScratchKey& k) { k.SetRaw(L"Keyvora", REG_DWORD, &two, 2); }, 0, 0},
        {"binary", [two](const ScratchKey& k) { k.SetRaw(L"Keyvora", REG_BINARY, &two, 4); }, 0, 0},
    };
    for (const Case& c : cases) {
        testsupport::DeleteKeyTree(HKEY_LOCAL_MACHINE, m_debug.Path(), KEY_WOW64_32KEY);
        c.setup(m_debug);
        EXPECT_EQ(ProbeExit(L"Keyvora"), c.keyvora) << c.name;
        EXPECT_EQ(ProbeExit(L"Ambrel"), c.ambrel) << c.name;
    }
}
