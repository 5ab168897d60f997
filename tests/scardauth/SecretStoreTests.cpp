// The protected secret store: its operations, the method it picks, what is left in memory, and
// its behaviour under many threads.
#include "SecretStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ImportHook.h"
#include "MemoryScan.h"
#include "Process.h"

using testsupport::ImportHook;

namespace {

// Block and lock accounting of the store (its code is linked into this program).
std::atomic<long> g_blocks{0};
std::atomic<bool> g_failAllocation{false};
std::vector<std::pair<const void*, SIZE_T>> g_lockedRanges;

LPVOID WINAPI CountingVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    if (g_failAllocation) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPVOID block = testsupport::RealExport<decltype(&VirtualAlloc)>(L"kernel32.dll", "VirtualAlloc")(address, size,
                                                                                                     type, protect);
    if (block)
        ++g_blocks;
    return block;
}

BOOL WINAPI CountingVirtualFree(LPVOID address, SIZE_T size, DWORD type)
{
    const BOOL freed = testsupport::RealExport<decltype(&VirtualFree)>(L"kernel32.dll", "VirtualFree")(address, size,
                                                                                                      type);
    if (freed && type == MEM_RELEASE)
        --g_blocks;
    return freed;
}

BOOL WINAPI RecordingVirtualLock(LPVOID address, SIZE_T size)
{
    g_lockedRanges.emplace_back(address, size);
    return testsupport::RealExport<decltype(&VirtualLock)>(L"kernel32.dll", "VirtualLock")(address, size);
}

class SecretStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_failAllocation = false;
        g_lockedRanges.clear();
        m_blocksBefore = g_blocks;
    }
    long OutstandingBlocks() const { return g_blocks - m_blocksBefore; }

    ImportHook m_alloc{nullptr, "VirtualAlloc", &CountingVirtualAlloc};
    ImportHook m_free{nullptr, "VirtualFree", &CountingVirtualFree};
    ImportHook m_lock{nullptr, "VirtualLock", &RecordingVirtualLock};
    long m_blocksBefore = 0;
};

bool AllZero(const void* data, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (static_cast<const BYTE*>(data)[i] != 0)
            return false;
    return true;
}

TEST_F(SecretStore, PlaintextPageIsPaddedToTheNextWhole16ByteBlock)
{
    const std::pair<DWORD, SIZE_T> cases[] = {{2, 16}, {15, 16}, {16, 32}, {17, 32}, {31, 32}, {32, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::vector<BYTE> data(c.first, 0x41);
        void* handle = SKCreateSecret(data.data(), c.first, SK_PROTECT_MEMORY);
        ASSERT_NE(nullptr, handle);
        g_lockedRanges.clear();
        void* plaintext = SKUnlockSecret(handle);
        ASSERT_NE(nullptr, plaintext);
        ASSERT_EQ(1u, g_lockedRanges.size());
        EXPECT_EQ(plaintext, g_lockedRanges[0].first);
        EXPECT_EQ(c.second, g_lockedRanges[0].second);
        EXPECT_EQ(std::vector<BYTE>(c.first, 0x41), std::vector<BYTE>(static_cast<BYTE*>(plaintext),
                                                                      static_cast<BYTE*>(plaintext) + c.first));
        SKDestroySecret(handle);
    }
    EXPECT_EQ(0, OutstandingBlocks());
}

TEST_F(SecretStore, CallersBufferIsZeroedAfterCreationAlsoWhenCreationFails)
{
    wchar_t pin[] = L"4711";
    void* handle = SKCreateSecret(pin, sizeof(pin), SK_PROTECT_MEMORY);
    EXPECT_NE(nullptr, handle);
    EXPECT_TRUE(AllZero(pin, sizeof(pin)));
    SKDestroySecret(handle);

    wchar_t other[] = L"0815";
    g_failAllocation = true;
    EXPECT_EQ(nullptr, SKCreateSecret(other, sizeof(other), SK_PROTECT_MEMORY));
    g_failAllocation = false;
    EXPECT_TRUE(AllZero(other, sizeof(other)));
    EXPECT_EQ(0, OutstandingBlocks());
}

TEST_F(SecretStore, SizeWithoutDataMakesNoSecret_NoDataAndNoSizeAnEmptyOne)
{
    EXPECT_EQ(nullptr, SKCreateSecret(nullptr, 8, SK_PROTECT_MEMORY));
    EXPECT_EQ(0, OutstandingBlocks());
    void* empty = SKCreateSecret(nullptr, 0, SK_PROTECT_MEMORY);
    ASSERT_NE(nullptr, empty);
    EXPECT_NE(nullptr, SKUnlockSecret(empty));
    SKDestroySecret(empty);
    EXPECT_EQ(0, OutstandingBlocks());
}

TEST_F(SecretStore, KeeperUnlockTwiceAndLockTwiceThrow)
{
    char pin[] = "1234";
    SecretKeeper keeper(pin, sizeof(pin), SK_PROTECT_MEMORY);
    EXPECT_STREQ("1234", static_cast<const char*>(keeper.Unlock()));
    EXPECT_THROW(keeper.Unlock(), SecretKeeper::secret_unlocked);
    keeper.Lock();
    EXPECT_THROW(keeper.Lock(), SecretKeeper::lock_error);
    EXPECT_STREQ("1234", static_cast<const char*>(keeper.Unlock()));
    keeper.Lock();
}

TEST_F(SecretStore, ChangesToAnUnlockedPlaintextAreNotKept)
{
    char pin[] = "secret";
    SecretKeeper keeper(pin, sizeof(pin), SK_PROTECT_MEMORY);
    char* plaintext = static_cast<char*>(keeper.Unlock());
    strcpy(plaintext, "XXXXX");
    keeper.Lock();
    EXPECT_STREQ("secret", static_cast<const char*>(keeper.Unlock()));
    keeper.Lock();
}

TEST_F(SecretStore, DestroyingByPlaintextAddressDestroysTheWholeSecret)
{
    char pin[] = "98765";
    void* handle = SKCreateSecret(pin, sizeof(pin), SK_PROTECT_MEMORY);
    ASSERT_NE(nullptr, handle);
    void* plaintext = SKUnlockSecret(handle);
    ASSERT_NE(nullptr, plaintext);
    EXPECT_FALSE(SKIsSecretLocked(handle));

    SKDestroySecret(plaintext);

    EXPECT_EQ(0, OutstandingBlocks());
    EXPECT_EQ(nullptr, SKUnlockSecret(handle));
    EXPECT_EQ(nullptr, SKLockSecret(handle));
}

// Pointers are recognised by identity: one the store did not make is unknown, and is never
// read, even where reading it would fault.
TEST_F(SecretStore, UnknownNullAndUnreadablePointersAreRejected)
{
    DWORD notASecret[4] = {1, 2, 3, 4};
    void* unknown = &notASecret[1];
    EXPECT_TRUE(SKIsSecretLocked(unknown));
    EXPECT_EQ(nullptr, SKUnlockSecret(unknown));
    EXPECT_EQ(nullptr, SKLockSecret(unknown));
    SKDestroySecret(unknown);
    EXPECT_EQ(2u, notASecret[1]);

    EXPECT_FALSE(SKIsSecretLocked(nullptr));
    EXPECT_EQ(nullptr, SKUnlockSecret(nullptr));
    EXPECT_EQ(nullptr, SKLockSecret(nullptr));
    SKDestroySecret(nullptr);
    // The word before this address lies in the never-mapped first page.
    void* unreadable = reinterpret_cast<void*>(0x104);
    EXPECT_TRUE(SKIsSecretLocked(unreadable));
    EXPECT_EQ(nullptr, SKUnlockSecret(unreadable));
    EXPECT_EQ(nullptr, SKLockSecret(unreadable));
    SKDestroySecret(unreadable);
}

// The unlock is a scope: it locks again however it is left, a normal end, an early return or
// an exception; the secret then unlocks again (Unlock refuses a secret already unlocked).
enum class Leave { End, EarlyReturn, Exception };

class ScopedUnlock : public SecretStore, public ::testing::WithParamInterface<Leave> {
protected:
    static void Use(SecretKeeper& keeper, Leave how)
    {
        ScopedSecretUnlock unlocked(keeper);
        EXPECT_STREQ("2468", static_cast<const char*>(unlocked.Plaintext()));
        if (how == Leave::EarlyReturn)
            return;
        if (how == Leave::Exception)
            throw std::runtime_error("submission failed");
    }
};

TEST_P(ScopedUnlock, LocksAgainOnEveryWayOut)
{
    char pin[] = "2468";
    SecretKeeper keeper(pin, sizeof(pin), SK_PROTECT_MEMORY);
    try {
        Use(keeper, GetParam());
    } catch (const std::runtime_error&) {
    }
    EXPECT_NO_THROW(keeper.Unlock()) << "the secret was left unlocked";
    keeper.Lock();
}

INSTANTIATE_TEST_SUITE_P(Ways, ScopedUnlock, ::testing::Values(Leave::End, Leave::EarlyReturn, Leave::Exception),
                         [](const ::testing::TestParamInfo<Leave>& info) {
                             return std::string(info.param == Leave::End           ? "End"
                                                : info.param == Leave::EarlyReturn ? "EarlyReturn"
                                                                                   : "Exception");
                         });

// ---- Memory: no plaintext copy outside the unlocked window --------------------------------

using testsupport::FindCopies;
using testsupport::MakePin;
using testsupport::Needle;

TEST_F(SecretStore, NoPlaintextCopyOutsideTheUnlockedWindowAndOnlyOneLockedCopyInside)
{
    std::vector<wchar_t> pin(17);
    const Needle needle = MakePin(pin.data(), 16);
    void* handle = SKCreateSecret(pin.data(), static_cast<DWORD>(pin.size() * sizeof(wchar_t)), SK_PROTECT_MEMORY);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0u, FindCopies(needle).size()) << "after creation";

    g_lockedRanges.clear();
    const BYTE* plaintext = static_cast<const BYTE*>(SKUnlockSecret(handle));
    ASSERT_NE(nullptr, plaintext);
    const std::vector<const BYTE*> unlocked = FindCopies(needle);
    ASSERT_EQ(1u, unlocked.size()) << "while unlocked";
    EXPECT_EQ(plaintext, unlocked[0]);
    ASSERT_EQ(1u, g_lockedRanges.size());
    EXPECT_EQ(plaintext, g_lockedRanges[0].first);
    EXPECT_GE(g_lockedRanges[0].second, pin.size() * sizeof(wchar_t));

    EXPECT_EQ(handle, SKLockSecret(handle));
    EXPECT_EQ(0u, FindCopies(needle).size()) << "after unlock and lock";
    SKDestroySecret(handle);
}

// ---- Method selection, each in a fresh process ----------------------------------------------

// The probe's output with its text-mode line ends made plain.
std::string RunProbe(const std::wstring& scenario)
{
    testsupport::ProcessResult result = testsupport::RunBeside(L"secretstore_probe.exe", scenario);
    EXPECT_EQ(0u, result.exitCode) << result.output;
    std::string output;
    for (char ch : result.output)
        if (ch != '\r')
            output += ch;
    return output;
}

struct MethodCase {
    const char* scenario;
    std::vector<std::string> expected;  // lines that must appear, in this order
};

class SecretStoreMethod : public ::testing::TestWithParam<MethodCase> {};

TEST_P(SecretStoreMethod, PicksTheBestWorkingMethod)
{
    const MethodCase& c = GetParam();
    const std::string output = RunProbe(std::wstring(c.scenario, c.scenario + strlen(c.scenario)));
    size_t at = 0;
    for (const std::string& line : c.expected) {
        const size_t found = output.find(line + "\n", at);
        ASSERT_NE(std::string::npos, found) << "missing, or out of order: " << line << "\n" << output;
        at = found + line.size();
    }
}

const std::string kOk0 = "create scope 0: ok zeroed method 0x";
const std::string kFailed = "failed zeroed method 0x00000";

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SecretStoreMethod,
    ::testing::Values(
        MethodCase{"all-working", {kOk0 + "10000", "roundtrip ok", "create scope 1: ok zeroed method 0x10001"}},
        MethodCase{"no-protect-memory",
                   {"create scope 0", "call RtlEncryptMemory 0", kOk0 + "20000", "call RtlDecryptMemory 0",
                    "roundtrip ok", "create scope 2", "call RtlEncryptMemory 2"}},
        MethodCase{"data-only",
                   {"create scope 0", "call CryptProtectData 1", kOk0 + "30000", "call CryptUnprotectData 1",
                    "roundtrip ok", "create scope 1", "call CryptProtectData 5", "call CryptUnprotectData 5",
                    "roundtrip ok", "create scope 2", "call CryptProtectData 1"}},
        MethodCase{"none", {"create scope 0: " + kFailed, "create scope 1: " + kFailed}},
        MethodCase{"no-op-memory", {kOk0 + "20000", "roundtrip ok"}},
        MethodCase{"no-op-memory-and-rtl", {kOk0 + "30000", "roundtrip ok"}},
        MethodCase{"no-crypt32", {"crypt32.dll", kOk0 + "20000", "roundtrip ok"}},
        // Wine's memory methods change nothing, so only the data method protects here.
        MethodCase{"system", {kOk0 + "30000", "roundtrip ok"}}),
    [](const ::testing::TestParamInfo<MethodCase>& info) {
        std::string name = info.param.scenario;
        for (char& ch : name)
            if (ch == '-')
                ch = '_';
        return name;
    });

TEST(SecretStoreLoading, LoadsBothLibrariesFromTheSystemDirectory)
{
    wchar_t directory[MAX_PATH];
    GetSystemDirectoryW(directory, MAX_PATH);
    char narrow[MAX_PATH * 2];
    WideCharToMultiByte(CP_UTF8, 0, directory, -1, narrow, sizeof(narrow), nullptr, nullptr);
    const std::string output = RunProbe(L"all-working");
    EXPECT_NE(std::string::npos, output.find("load " + std::string(narrow) + "\\crypt32.dll\n")) << output;
    EXPECT_NE(std::string::npos, output.find("load " + std::string(narrow) + "\\Advapi32.dll\n")) << output;
}

// ---- Many threads ----------------------------------------------------------------------------

TEST_F(SecretStore, ManyThreadsLeaveNoSecretCorruptedAndNoBlockBehind)
{
    const int kThreads = 8;
    const int kRounds = 60;
    std::atomic<int> corrupted{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &corrupted, &failures] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string text = "thread-" + std::to_string(t) + "-round-" + std::to_string(round);
                std::vector<char> data(text.begin(), text.end());
                data.push_back('\0');
                void* handle = SKCreateSecret(data.data(), static_cast<DWORD>(data.size()), SK_PROTECT_MEMORY);
                if (!handle) {
                    ++failures;
                    continue;
                }
                for (int pass = 0; pass < 2; ++pass) {
                    const char* plaintext = static_cast<const char*>(SKUnlockSecret(handle));
                    if (!plaintext || text != plaintext)
                        ++corrupted;
                    if (SKLockSecret(handle) != handle)
                        ++failures;
                }
                SKDestroySecret(handle);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, corrupted.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, OutstandingBlocks());
}

}  // namespace
