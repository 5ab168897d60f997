// Soak run: a seeded random sequence of what happens at a kiosk, against the simulated
// smart-card service, while two tabs of one browser process (controls hosted here in the
// platform's container) and Ambrel.exe (a child, with the SDK stand-in) watch the readers:
// readers attached, unplugged and plugged in again (their counters start afresh), cards of two
// holders inserted, pulled and swapped, the service stopped and started with all of that going
// on meanwhile, a monitor that cannot watch for a while (a failure aimed at it alone), tabs
// opened and closed, PINs typed and real requests to the test server with the card's
// certificate and PIN, some with cards moving while they are out. The model (SoakModel.h)
// says what the promise demands; after every step, once every monitor has taken the change in,
// the system is compared with it: each page's last card event, active reader and PIN, the
// events it must have heard, the shell's disconnections and the hand-off value, whether the
// browser's TLS session ended, and that no PIN reached a card it was not typed for. The first
// mismatch ends the run: once model and system are apart, every later check would only wait out
// its time.
//
//   soak.exe [--seeds 1,2,3] [--steps N] [--verbose] [--report FILE]
// The report goes to standard output, and to FILE when given. Needs the test server
// (httpserver\ports beside the program) and a prefix that runs the stand-ins.
//
// Exit code 0: no mismatch and no growth of handles or threads in either process.
#include <windows.h>
#include <tlhelp32.h>
#include <wininet.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CardService.h"
#include "ControlHost.h"
#include "HandOff.h"
#include "ImportHook.h"
#include "MessagePump.h"
#include "Process.h"
#include "SoakModel.h"
#include "StandIn.h"
#include "TestMachine.h"

namespace {

using soak::ActiveCard;
using soak::Holder;
using soak::kControls;
using soak::kNoCard;

const DWORD kQuietTimeoutMs = 15000;
const DWORD kSettleTimeoutMs = 3000;
const size_t kMaxReaders = 4;
const wchar_t kCsp[] = L"Orvane Test Card CSP";
const LONG kCardChanged = static_cast<LONG>(SCARD_W_REMOVED_CARD);
const DWORD kPinTries = 3;

std::wstring Beside(const wchar_t* name) { return standin::BesideThisProgram(name); }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

bool IsCardStateEvent(LONG type) { return type == 0 || type == 1 || type == 4 || type == 9 || type == 10; }

// ---- Seams: what the process's WinINet session is told, and a request held while it is out.

std::atomic<long> g_sessionEnds{0};  // INTERNET_OPTION_END_BROWSER_SESSION, from any thread
// Called on the page thread when WinINet is given a card's certificate (which under Wine it
// cannot take: the hook takes it instead, as the platform would).
std::function<void()> g_certificateGiven;
// Runs once inside the next request's send, after the certificate went with it and before
// the answer is read: what happens while the request is out.
std::function<void()> g_whileOut;

BOOL WINAPI SeamInternetSetOptionW(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option == INTERNET_OPTION_END_BROWSER_SESSION)
        ++g_sessionEnds;
    if (option == INTERNET_OPTION_CLIENT_CERT_CONTEXT) {
        if (g_certificateGiven)
            g_certificateGiven();
        return TRUE;
    }
    return testsupport::RealExport<decltype(&InternetSetOptionW)>(L"wininet.dll", "InternetSetOptionW")(handle, option,
                                                                                                       buffer, length);
}

BOOL WINAPI SeamHttpSendRequestW(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body, DWORD bodyLength)
{
    if (g_whileOut) {
        // A request of another tab made meanwhile goes out as it is.
        const std::function<void()> whileOut = std::move(g_whileOut);
        g_whileOut = nullptr;
        whileOut();
    }
    return testsupport::RealExport<decltype(&HttpSendRequestW)>(L"wininet.dll", "HttpSendRequestW")(
        request, headers, headersLength, body, bodyLength);
}

// The unnamed events this program (the control's code and the soak's) made and has not closed:
// the control process's own, as opposed to those the platform's libraries make for themselves.
std::mutex g_eventsLock;
std::set<HANDLE> g_ownEvents;

HANDLE WINAPI SeamCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCWSTR name)
{
    const HANDLE event = testsupport::RealExport<decltype(&CreateEventW)>(L"kernel32.dll", "CreateEventW")(
        attributes, manual, initial, name);
    if (event && !name) {
        std::lock_guard<std::mutex> lock(g_eventsLock);
        g_ownEvents.insert(event);
    }
    return event;
}

BOOL WINAPI SeamCloseHandle(HANDLE handle)
{
    {
        std::lock_guard<std::mutex> lock(g_eventsLock);
        g_ownEvents.erase(handle);
    }
    return testsupport::RealExport<decltype(&CloseHandle)>(L"kernel32.dll", "CloseHandle")(handle);
}

// ---- What the system shows.

// Unnamed events of this process that its own code did not make: WinINet and COM make such
// events of their own, lazily and once, at moments that vary from run to run, so a count that
// held them would grow by one now and then without anything leaking.
DWORD PlatformEvents()
{
    typedef LONG(WINAPI * QueryObject)(HANDLE, int, PVOID, ULONG, PULONG);
    static const QueryObject query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    const int kNameInformation = 1, kTypeInformation = 2;
    DWORD events = 0;
    std::lock_guard<std::mutex> lock(g_eventsLock);
    for (ULONG_PTR value = 4; query && value < 0x4000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        HANDLE copy = nullptr;
        if (g_ownEvents.count(handle) ||
            !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        alignas(8) BYTE type[512] = {}, name[2048] = {};
        const bool event = query(copy, kTypeInformation, type, sizeof(type), nullptr) == 0 &&
                           std::wstring(reinterpret_cast<UNICODE_STRING*>(type)->Buffer,
                                        reinterpret_cast<UNICODE_STRING*>(type)->Length / sizeof(wchar_t)) == L"Event";
        events += event && query(copy, kNameInformation, name, sizeof(name), nullptr) == 0 &&
                          reinterpret_cast<UNICODE_STRING*>(name)->Length == 0
                      ? 1
                      : 0;
        testsupport::RealExport<decltype(&CloseHandle)>(L"kernel32.dll", "CloseHandle")(copy);
    }
    return events;
}

struct Counts {
    DWORD handles = 0, threads = 0;
    LONG contexts = 0, blocks = 0;  // the smart-card service's, held by the process
    bool operator!=(const Counts& other) const
    {
        return handles != other.handles || threads != other.threads || contexts != other.contexts ||
               blocks != other.blocks;
    }
    bool Exceeds(const Counts& other) const
    {
        return handles > other.handles || threads > other.threads || contexts > other.contexts || blocks > other.blocks;
    }
};

DWORD ThreadsOf(DWORD processId)
{
    DWORD threads = 0;
    const HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (taken == INVALID_HANDLE_VALUE)
        return 0;
    const tsmb::UniqueHandle snapshot(taken);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        threads += entry.th32OwnerProcessID == processId ? 1 : 0;
    return threads;
}

int DisconnectsLogged(const std::wstring& log)
{
    std::ifstream file(log.c_str());
    int count = 0;
    for (std::string line; std::getline(file, line);)
        count += line.rfind("VsmDisconnectAllSessions", 0) == 0 ? 1 : 0;
    return count;
}

std::wstring HandOff()
{
    try {
        return tsmb::HandOffKey(KEY_QUERY_VALUE).Read();
    } catch (const std::exception&) {
        return L"(missing)";
    }
}

struct Wait {
    DWORD process, thread;
    bool quiet;
};

std::vector<Wait> Waits()
{
    DWORD processes[64], threads[64], count = 64;
    BOOL quiet[64];
    std::vector<Wait> waits;
    if (SimGetWaits(processes, threads, quiet, &count) == 0)
        for (DWORD i = 0; i < count; ++i)
            waits.push_back({processes[i], threads[i], quiet[i] != FALSE});
    return waits;
}

// Thrown at the first mismatch, once it is reported.
struct Diverged {};

// A tab: a control hosted as a page would, with the sink of its page's script.
struct Tab {
    keyvoratest::EventSink sink;
    std::unique_ptr<keyvoratest::HostedControl> host;
    DWORD monitorThread = 0;  // its card monitor, as the service lists its waits
    size_t heardFrom = 0;     // the first event of the current step
    ActiveCard activeBefore;  // what the model said at the step's start
};

class Soak {
public:
    explicit Soak(bool verbose) : m_verbose(verbose) {}

    int Run(const std::vector<unsigned>& seeds, int steps);

private:
    // ---- Set-up and tear-down
    bool Start();
    void Stop();
    bool PrepareMachine();
    void ResetTo(unsigned seed);
    void OpenTab(int k);
    void CloseTab(int k);

    // ---- Steps
    void Step(std::mt19937& random, unsigned seed, int step);
    std::string Act(std::mt19937& random);
    // A change of readers or cards (or of the service, when allowed); "" when none applies.
    std::string Physical(std::mt19937& random, bool serviceToo);
    std::string Attach(std::mt19937& random);
    std::string Detach(const std::wstring& reader);
    std::string Replug(std::mt19937& random, const std::wstring& reader);
    std::string Insert(std::mt19937& random, const std::wstring& reader);
    std::string Remove(const std::wstring& reader);
    std::string Swap(std::mt19937& random, const std::wstring& reader);
    std::string ToggleService();
    std::string TypePin(int k);
    std::string Request(std::mt19937& random, int k, bool whileOut);
    std::string WhileOut(std::mt19937& random, int k);
    std::string ToggleTab(std::mt19937& random);
    std::string Blind(std::mt19937& random);
    std::string BlindPhase(std::mt19937& random, int target);

    // ---- Watching and checking
    // Every monitor that watches has taken the latest change in: it sleeps in a status-change
    // wait begun after it (service up), or no wait is pending and every page heard 10.
    bool Quiet();
    void Settle(const std::string& what);
    void Check(const std::string& action);
    bool Holds(std::string* expected, std::string* seen);
    bool TabHolds(int k, std::ostringstream& expected, std::ostringstream& seen);
    void Mismatch(const std::string& action, const std::string& what);
    LONG LastCardEvent(int k) const;
    std::wstring PinRead(int k);
    bool TriesIntact(std::string* seen) const;

    std::vector<std::wstring> ReadersWhere(bool withCard) const;
    std::vector<int> OpenTabs(bool watchingOnly) const;
    std::wstring NewReaderName(std::mt19937& random) const;
    void InsertCard(const std::wstring& reader, Holder holder);
    struct Both {
        Counts control, shell;
    };
    Both Measure() const;
    static double CpuMs(HANDLE process);

    testsupport::CardServiceReset m_service;
    testsupport::ImportHook m_setOption{nullptr, "InternetSetOptionW", &SeamInternetSetOptionW};
    testsupport::ImportHook m_send{nullptr, "HttpSendRequestW", &SeamHttpSendRequestW};
    testsupport::ImportHook m_createEvent{nullptr, "CreateEventW", &SeamCreateEventW};
    testsupport::ImportHook m_closeHandle{nullptr, "CloseHandle", &SeamCloseHandle};
    bool m_verbose;
    bool m_pageBusy = false;  // the page's thread is in a request: it dispatches nothing
    std::unique_ptr<testsupport::ChildProcess> m_shell;
    keyvoratest::ClassRegistration m_registration;
    Tab m_tabs[kControls];
    std::wstring m_sdkLog;
    DWORD m_httpsPort = 0;
    std::vector<BYTE> m_certificates[2];  // Alice's and Bob's
    soak::Model m_model;
    std::vector<int> m_requestCards;  // the card of each request in progress (a tab's inside another's)
    long m_endsAtCertificate = 0;
    unsigned m_seed = 0;
    int m_step = -1;
    int m_checked = 0, m_mismatches = 0, m_requestNumber = 0;
    struct Tally {
        int answered = 0, cardChanged = 0, noCard = 0, whileOut = 0, outages = 0, blind = 0, pins = 0, tabs = 0;
    } m_tally;
};

int Soak::Run(const std::vector<unsigned>& seeds, int steps)
{
    if (!Start())
        return 2;
    const double idleShell = CpuMs(m_shell->Handle()), idleControl = CpuMs(GetCurrentProcess());
    Sleep(2000);  // idle between bursts: what the monitors cost when nothing happens
    const double shellIdleCpu = CpuMs(m_shell->Handle()) - idleShell;
    const double controlIdleCpu = CpuMs(GetCurrentProcess()) - idleControl;
    const ULONGLONG began = GetTickCount64();
    Both before, after;
    try {
        for (size_t i = 0; i < seeds.size(); ++i) {
            ResetTo(seeds[i]);
            std::mt19937 random(seeds[i]);
            for (int step = 0; step < steps; ++step)
                Step(random, seeds[i], step);
            // The first seed warms up what stays for the process's life (WinINet's and the card
            // provider's state, the event source): growth counts from its end.
            if (i == 0) {
                ResetTo(0);
                before = Measure();
            }
        }
        ResetTo(0);
        after = Measure();
    } catch (const Diverged&) {
        Stop();
        printf("soak: stopped at the first mismatch: %d states checked, %d mismatches\n", m_checked, m_mismatches);
        return 1;
    }
    Stop();
    const double seconds = (GetTickCount64() - began) / 1000.0;
    printf("soak: %d steps over %u seeds in %.0f s, %d states checked, %d mismatches\n",
           steps * static_cast<int>(seeds.size()), static_cast<unsigned>(seeds.size()), seconds, m_checked, m_mismatches);
    printf("soak: %d disconnections, %ld TLS session ends; requests: %d answered, %d refused as their card changed "
           "(%d with cards moving while out), %d without a card; %d PINs typed; %d outages, %d monitors blinded, "
           "%d tabs opened\n",
           m_model.disconnects, g_sessionEnds.load(), m_tally.answered, m_tally.cardChanged, m_tally.whileOut,
           m_tally.noCard, m_tally.pins, m_tally.outages, m_tally.blind, m_tally.tabs);
    printf("soak: after the first seed to the end: control process: handles %lu -> %lu (not counting the platform's "
           "own unnamed events), threads %lu -> %lu, smart-card contexts %ld -> %ld, blocks %ld -> %ld\n",
           before.control.handles, after.control.handles, before.control.threads, after.control.threads,
           before.control.contexts, after.control.contexts, before.control.blocks, after.control.blocks);
    printf("soak: after the first seed to the end: shell process: handles %lu -> %lu, threads %lu -> %lu\n",
           before.shell.handles, after.shell.handles, before.shell.threads, after.shell.threads);
    printf("soak: CPU while idle over 2 s: shell %.1f ms, control process %.1f ms\n", shellIdleCpu, controlIdleCpu);
    const bool grew =
        seeds.size() > 1 && (after.control.Exceeds(before.control) || after.shell.Exceeds(before.shell));
    if (grew)
        printf("soak: growth of handles or threads\n");
    return m_mismatches == 0 && !grew ? 0 : 1;
}

// ---- Set-up and tear-down -------------------------------------------------------------------

bool Soak::PrepareMachine()
{
    std::ifstream ports(Beside(L"httpserver\\ports").c_str());
    for (std::string line; std::getline(ports, line);)
        if (line.compare(0, 6, "https=") == 0)
            m_httpsPort = std::stoul(line.substr(6));
    if (m_httpsPort == 0) {
        fprintf(stderr, "soak: the test server is not running (no httpserver\\ports beside the program)\n");
        return false;
    }
    m_certificates[soak::kAlice] = standin::ReadFileBytes(Beside(L"testcerts\\card-alice.der"));
    m_certificates[soak::kBob] = standin::ReadFileBytes(Beside(L"testcerts\\card-bob.der"));
    if (!standin::TrustTestCa(Beside(L"testcerts\\test-ca.der")) || !standin::RegisterCardProvider() ||
        m_certificates[0].empty() || m_certificates[1].empty()) {
        fprintf(stderr, "soak: the test CA, the card provider or the card certificates are missing\n");
        return false;
    }
    g_certificateGiven = [this] {
        if (m_requestCards.empty())
            return;
        m_endsAtCertificate = g_sessionEnds.load();
        m_model.CertificateGiven(m_requestCards.back());
    };
    return true;
}

bool Soak::Start()
{
    if (!PrepareMachine())
        return false;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    m_sdkLog = std::wstring(folder) + L"soak-vsmsdk.log";
    DeleteFileW(m_sdkLog.c_str());
    SetEnvironmentVariableW(L"VSMSDK_LOG", m_sdkLog.c_str());
    tsmb::UniqueRegistryKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
    RegDeleteKeyW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey);
    RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                    key.Put(), nullptr);
    const std::wstring cleared = tsmb::HandOffKey::kCleared;
    RegSetValueExW(key.Get(), tsmb::HandOffKey::kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(cleared.c_str()),
                   static_cast<DWORD>((cleared.size() + 1) * sizeof(wchar_t)));
    key.Close();

    const std::wstring shell = Beside(L"Ambrel.exe");
    try {
        m_shell.reset(new testsupport::ChildProcess(shell, L"\"" + shell + L"\""));
        OpenTab(0);
    } catch (const std::runtime_error&) {
        fprintf(stderr, "soak: cannot start Ambrel.exe\n");
        return false;
    } catch (const Diverged&) {
        return false;
    }
    if (!keyvoratest::PumpUntil([&] { return Quiet(); }, kQuietTimeoutMs)) {
        fprintf(stderr, "soak: the monitors never became quiet\n");
        return false;
    }
    return true;
}

void Soak::Stop()
{
    for (Tab& tab : m_tabs)
        tab.host.reset();
    m_shell.reset();
    standin::EndBrowserStandIns(5000);
}

// Every seed starts alike: no reader, the service running, one tab freshly opened.
void Soak::ResetTo(unsigned seed)
{
    m_seed = seed;
    m_step = -1;
    for (int k = 0; k < kControls; ++k)
        if (m_model.controls[k].open)
            CloseTab(k);
    SimReset();
    for (const std::wstring& reader : ReadersWhere(false))
        m_model.Detach(reader);
    for (const std::wstring& reader : ReadersWhere(true))
        m_model.Detach(reader);
    if (!m_model.serviceUp)
        m_model.StartService();
    m_model.StepBegins();
    Settle("reset");
    OpenTab(0);
    Check("reset");
}

void Soak::OpenTab(int k)
{
    Tab& tab = m_tabs[k];
    tab.sink.events.clear();
    tab.heardFrom = 0;
    std::vector<DWORD> known;
    for (int other = 0; other < kControls; ++other)
        if (other != k && m_model.controls[other].open)
            known.push_back(m_tabs[other].monitorThread);
    tab.host.reset(new keyvoratest::HostedControl(&tab.sink));
    m_model.OpenControl(k);
    tab.activeBefore = m_model.Active(k);
    // Its monitor is the wait of this process that no other tab's monitor has.
    tab.monitorThread = 0;
    const bool started = keyvoratest::PumpUntil(
        [&] {
            for (const Wait& w : Waits())
                if (w.process == GetCurrentProcessId() &&
                    std::find(known.begin(), known.end(), w.thread) == known.end())
                    tab.monitorThread = w.thread;
            return tab.monitorThread != 0 && !tab.sink.events.empty();
        },
        kQuietTimeoutMs);
    if (!started)
        Mismatch("open tab " + std::to_string(k), "the tab's card monitor never waited for a change");
}

void Soak::CloseTab(int k)
{
    m_tabs[k].host.reset();
    m_tabs[k].monitorThread = 0;
    m_model.CloseControl(k);
}

// ---- Steps ----------------------------------------------------------------------------------

void Soak::Step(std::mt19937& random, unsigned seed, int step)
{
    m_seed = seed;
    m_step = step;
    m_model.StepBegins();
    for (int k = 0; k < kControls; ++k) {
        m_tabs[k].heardFrom = m_tabs[k].sink.events.size();
        m_tabs[k].activeBefore = m_model.Active(k);
    }
    const ULONGLONG began = GetTickCount64();
    const std::string action = Act(random);
    if (action.empty())
        return;
    Settle(action);
    Check(action);
    if (m_verbose)
        printf("soak: seed %u step %d: %s (%llu ms)\n", seed, step, action.c_str(), GetTickCount64() - began);
}

// One of the choices, each as likely as its weight says.
size_t Pick(std::mt19937& random, const std::vector<int>& weights)
{
    int total = 0;
    for (int w : weights)
        total += w;
    int at = static_cast<int>(random() % static_cast<unsigned>(total));
    size_t choice = 0;
    while (at >= weights[choice])
        at -= weights[choice++];
    return choice;
}

// At a kiosk one card is in most of the time: a card goes in where none is, and a second one
// is soon taken out again; pages ask for the PIN and make requests once they heard of a card.
std::string Soak::Act(std::mt19937& random)
{
    const std::vector<int> tabs = OpenTabs(false);
    const int k = tabs.empty() ? -1 : tabs[random() % tabs.size()];
    const bool card = k >= 0 && m_model.Active(k).card != kNoCard;
    enum { kPhysical, kService, kPin, kRequest, kRequestWhileOut, kTab, kBlind, kQuiet };
    switch (Pick(random, {10, m_model.serviceUp ? 1 : 5, card ? 3 : 0, card ? 8 : 1, card ? 3 : 0, tabs.empty() ? 6 : 1,
                          1, 8})) {
    case kPhysical:
        return Physical(random, false);
    case kService:
        return ToggleService();
    case kPin:
        return TypePin(k);
    case kRequest:
        return k >= 0 ? Request(random, k, false) : "";
    case kRequestWhileOut:
        return Request(random, k, true);
    case kTab:
        return ToggleTab(random);
    case kBlind:
        return Blind(random);
    default:
        return "";  // a quiet moment
    }
}

std::string Soak::Physical(std::mt19937& random, bool serviceToo)
{
    const std::vector<std::wstring> empty = ReadersWhere(false), full = ReadersWhere(true);
    std::vector<std::wstring> attached = empty;
    attached.insert(attached.end(), full.begin(), full.end());
    const auto pick = [&](const std::vector<std::wstring>& from) { return from[random() % from.size()]; };
    const int readers = static_cast<int>(attached.size()), cards = static_cast<int>(full.size());
    enum { kAttach, kDetach, kReplug, kInsert, kRemove, kSwap, kService };
    switch (Pick(random, {readers < static_cast<int>(kMaxReaders) ? (readers == 0 ? 4 : 1) : 0, readers ? 1 : 0,
                          readers ? 1 : 0, empty.empty() ? 0 : cards == 0 ? 6 : 1,
                          cards == 0 ? 0 : cards >= 2 ? 6 : 1, cards ? 1 : 0, serviceToo ? 1 : 0})) {
    case kAttach:
        return Attach(random);
    case kDetach:
        return Detach(pick(attached));
    case kReplug:
        return Replug(random, pick(attached));
    case kInsert:
        return Insert(random, pick(empty));
    case kRemove:
        return Remove(pick(full));
    case kSwap:
        return Swap(random, pick(full));
    default:
        return ToggleService();
    }
}

std::string Soak::Attach(std::mt19937& random)
{
    const std::wstring name = NewReaderName(random);
    SimAttachReader(name.c_str());
    m_model.Attach(name);
    Settle("attach");
    return "attach " + Narrow(name);
}

std::string Soak::Detach(const std::wstring& reader)
{
    const bool withCard = m_model.readers.at(reader) != kNoCard;
    SimDetachReader(reader.c_str());
    m_model.Detach(reader);
    Settle("detach");
    return "detach " + Narrow(reader) + (withCard ? " with its card" : "");
}

// Unplugged and plugged in again: the service numbers the reader's cards afresh, so the next
// card shows the counter the last one had.
std::string Soak::Replug(std::mt19937& random, const std::wstring& reader)
{
    const bool withCard = m_model.readers.at(reader) != kNoCard;
    Detach(reader);
    SimAttachReader(reader.c_str());
    m_model.Attach(reader);
    Settle("replug");
    std::string action = "unplug " + Narrow(reader) + (withCard ? " with its card" : "") + " and plug it in again";
    if (random() % 2)
        action += ", " + Insert(random, reader);
    return action;
}

std::string Soak::Insert(std::mt19937& random, const std::wstring& reader)
{
    const Holder holder = random() % 2 ? soak::kBob : soak::kAlice;
    InsertCard(reader, holder);
    Settle("insert");
    return std::string("insert ") + (holder == soak::kAlice ? "Alice's" : "Bob's") + " card into " + Narrow(reader);
}

std::string Soak::Remove(const std::wstring& reader)
{
    SimRemoveCard(reader.c_str());
    m_model.Remove(reader);
    Settle("remove");
    return "remove the card from " + Narrow(reader);
}

// Pulled and another card put in before anyone looks: only the reader's counter shows it.
std::string Soak::Swap(std::mt19937& random, const std::wstring& reader)
{
    const Holder holder = random() % 2 ? soak::kBob : soak::kAlice;
    SimRemoveCard(reader.c_str());
    m_model.Remove(reader);
    InsertCard(reader, holder);
    Settle("swap");
    return std::string("swap the card in ") + Narrow(reader) + " for " + (holder == soak::kAlice ? "Alice's" : "Bob's");
}

std::string Soak::ToggleService()
{
    if (m_model.serviceUp) {
        SimStopService();
        m_model.StopService();
        ++m_tally.outages;
    } else {
        SimStartService();
        m_model.StartService();
    }
    Settle("service");
    return m_model.serviceUp ? "service start" : "service stop";
}

// The page asks for the PIN once it heard of a card: the PIN of that card's holder.
std::string Soak::TypePin(int k)
{
    const ActiveCard active = m_model.Active(k);
    if (active.card == kNoCard)
        return "";
    const wchar_t* pin = soak::PinOf(m_model.HolderOf(active.card));
    BSTR text = SysAllocString(pin);
    const HRESULT hr = m_tabs[k].host->Control()->put_AuthSCardPin(text);
    SysFreeString(text);
    if (FAILED(hr))
        Mismatch("type PIN", "AuthSCardPin could not be set: " + std::to_string(hr));
    m_model.TypePin(k);
    ++m_tally.pins;
    return "tab " + std::to_string(k) + ": type the PIN for the card in " + Narrow(active.reader);
}

// A real request to the test server; whileOut: cards and the service move while it is out.
// Its answer reaches the page only if its card is still the tab's active card once it is read.
std::string Soak::Request(std::mt19937& random, int k, bool whileOut)
{
    const ActiveCard card = m_model.Active(k);
    const std::string body = "s" + std::to_string(m_seed) + "-" + std::to_string(m_step) + "-" +
                             std::to_string(++m_requestNumber);
    std::string action = "tab " + std::to_string(k) + ": request " + body;
    std::string during;
    if (whileOut && card.card != kNoCard)
        g_whileOut = [&] { during = WhileOut(random, k); };
    IKeyvoraCtl* control = m_tabs[k].host->Control();
    const size_t before = m_tabs[k].sink.events.size();
    BSTR url = SysAllocString(
        (L"https://localhost:" + std::to_wstring(m_httpsPort) + L"/text?body=" + std::wstring(body.begin(), body.end()))
            .c_str());
    BSTR data = nullptr;
    m_requestCards.push_back(card.card);
    const HRESULT hr = control->ReadHttpDataFromUrl(url, nullptr, nullptr, &data);
    m_requestCards.pop_back();
    g_whileOut = nullptr;
    SysFreeString(url);
    const std::wstring text = data ? std::wstring(data, SysStringLen(data)) : L"";
    SysFreeString(data);
    ULONG lastError = 0;
    control->get_ReadHttpDataFromUrlLastError(&lastError);
    testsupport::PumpPosted();
    if (!during.empty())
        action += " (while it is out: " + during + ")";
    // The event the call posts of its own (its card's events may come before it).
    LONG lastEvent = -1, lastStatus = 0;
    const std::vector<keyvoratest::FiredEvent>& events = m_tabs[k].sink.events;
    for (size_t i = before; i < events.size(); ++i)
        if (!IsCardStateEvent(events[i].eventType)) {
            lastEvent = events[i].eventType;
            lastStatus = events[i].status;
        }

    std::ostringstream expected, seen;
    seen << "hr 0x" << std::hex << hr << std::dec << ", data \"" << Narrow(text) << "\", last error 0x" << std::hex
         << lastError << std::dec << ", last event of the call " << lastEvent << " (" << lastStatus << ")";
    bool as = false;
    if (card.card == kNoCard) {
        ++m_tally.noCard;
        expected << "E_FAIL with no data and no event (no active card)";
        as = hr == E_FAIL && text.empty() && lastEvent == -1;
    } else if (m_model.Active(k) == card) {
        ++m_tally.answered;
        expected << "the answer \"" << body << "\" with last error 0";
        as = hr == S_OK && Narrow(text) == body && lastError == 0;
        m_model.Answered(card.reader);
    } else {
        ++m_tally.cardChanged;
        m_tally.whileOut += whileOut ? 1 : 0;
        expected << "no data, last error 0x80100069 and event 8 with that status (the card is not the active one any "
                    "more)";
        as = hr == S_OK && text.empty() && lastError == static_cast<ULONG>(kCardChanged) && lastEvent == 8 &&
             lastStatus == kCardChanged;
    }
    if (!as)
        Mismatch(action, "expected " + expected.str() + "; seen " + seen.str());
    return action;
}

// While a request of tab k is out. Its page's thread waits for the answer and hears nothing
// meanwhile: cards and readers move, and the page hears of it only once the call returned. Or
// the other tab's page, on a thread of its own, goes on: it types its PIN, makes a request, the
// service may stop; as both tabs share this thread here, tab k hears its events then too.
std::string Soak::WhileOut(std::mt19937& random, int k)
{
    std::string what;
    const int other = (k + 1) % kControls;
    const bool otherTabGoesOn = m_model.controls[other].open && random() % 2;
    m_pageBusy = !otherTabGoesOn;
    for (int n = 1 + static_cast<int>(random() % 2); n > 0; --n) {
        std::string one;
        switch (otherTabGoesOn ? random() % 4 : 3) {
        case 0:
            one = TypePin(other);
            break;
        case 1:
            one = Request(random, other, false);
            break;
        default:
            one = Physical(random, otherTabGoesOn);
            break;
        }
        if (!one.empty())
            what += (what.empty() ? "" : "; ") + one;
    }
    m_pageBusy = false;
    return (what.empty() ? std::string("nothing") : what) + (otherTabGoesOn ? "" : ", its page hearing nothing");
}

// Another tab opens (another page of the site) or one closes; the last one closing leaves
// nothing to watch the session's card.
std::string Soak::ToggleTab(std::mt19937& random)
{
    const int k = static_cast<int>(random() % kControls);
    if (m_model.controls[k].open) {
        CloseTab(k);
        return "close tab " + std::to_string(k);
    }
    // A tab's monitor is told from the other's by its first wait, so tabs open while the
    // service runs.
    if (!m_model.serviceUp)
        return "";
    OpenTab(k);
    ++m_tally.tabs;
    return "open tab " + std::to_string(k);
}

// One monitor cannot watch for a while (its passes fail; the others watch on), and meanwhile
// cards move, or a page makes a request that writes the hand-off.
std::string Soak::Blind(std::mt19937& random)
{
    if (!m_model.serviceUp || m_model.readers.size() >= kMaxReaders)
        return "";
    std::vector<int> targets = OpenTabs(true);
    targets.push_back(-1);  // the shell
    return BlindPhase(random, targets[random() % targets.size()]);
}

std::string Soak::BlindPhase(std::mt19937& random, int target)
{
    const char* operation = random() % 2 ? "SCardGetStatusChangeW" : "SCardListReadersW";
    const DWORD process = target < 0 ? m_shell->Id() : GetCurrentProcessId();
    const DWORD thread = target < 0 ? 0 : m_tabs[target].monitorThread;
    const std::string who = target < 0 ? "the shell" : "tab " + std::to_string(target);
    // Chosen before: a request that writes the hand-off while the shell cannot watch must come
    // after the shell has acted on its loss of sight (its next pass failed too).
    std::vector<int> plan;
    for (int n = static_cast<int>(random() % 4); n > 0; --n)
        plan.push_back(static_cast<int>(random() % 3));
    const bool writes = std::find(plan.begin(), plan.end(), 0) != plan.end();
    SimFailCalls(operation, static_cast<LONG>(SCARD_F_COMM_ERROR), process, thread, INFINITE);
    std::string action = who + " cannot watch (" + operation + " fails)";
    const std::wstring wake = NewReaderName(random);
    SimAttachReader(wake.c_str());
    m_model.Attach(wake);
    action += ", attach " + Narrow(wake);
    // The sign that a tab's monitor acted on its loss of sight: the card it had is not active.
    const auto activeReader = [&] { return target < 0 ? std::wstring() : m_tabs[target].host->Object().GetActiveReader(); };
    const LONG failures = target < 0 && writes ? 2 : 1;
    const bool lost = keyvoratest::PumpUntil(
        [&] { return SimCountFailedCalls(operation, process, thread) >= failures && activeReader().empty(); },
        kQuietTimeoutMs);
    if (!lost)
        Mismatch(action, who + " never met the failure aimed at it");
    if (target < 0)
        m_model.BlindShell();
    else
        m_model.BlindControl(target);
    ++m_tally.blind;
    Settle(action);
    for (int what : plan) {
        const std::vector<int> watching = OpenTabs(true);
        std::string one;
        if (what == 0 && !watching.empty())
            one = Request(random, watching[random() % watching.size()], false);
        else if (what == 1 && !watching.empty())
            one = TypePin(watching[random() % watching.size()]);
        else
            one = Physical(random, false);
        if (!one.empty())
            action += "; " + one;
    }
    SimEndFailures(operation, process, thread);
    if (target < 0)
        m_model.ShellSeesAgain();
    else
        m_model.ControlSeesAgain(target);
    return action + "; " + who + " watches again";
}

// ---- Watching and checking ------------------------------------------------------------------

bool Soak::Quiet()
{
    const std::vector<Wait> waits = Waits();
    if (!m_model.serviceUp) {
        for (int k : OpenTabs(false))
            if (LastCardEvent(k) != 10)
                return false;
        return waits.empty();
    }
    const auto quiet = [&](DWORD process, DWORD thread) {
        for (const Wait& w : waits)
            if (w.process == process && (thread == 0 || w.thread == thread) && w.quiet)
                return true;
        return false;
    };
    if (!m_model.shellBlind && !quiet(m_shell->Id(), 0))
        return false;
    for (int k : OpenTabs(true))
        if (!quiet(GetCurrentProcessId(), m_tabs[k].monitorThread))
            return false;
    return true;
}

void Soak::Settle(const std::string& what)
{
    if (m_pageBusy) {
        // The page's thread is in a request: nothing is dispatched.
        const ULONGLONG deadline = GetTickCount64() + kQuietTimeoutMs;
        while (!Quiet())
            if (GetTickCount64() > deadline)
                Mismatch(what, "the monitors did not become quiet");
            else
                Sleep(1);
        return;
    }
    if (!keyvoratest::PumpUntil([&] { return Quiet(); }, kQuietTimeoutMs))
        Mismatch(what, "the monitors did not become quiet");
    // What they posted before they slept has reached the pages: the next act (a PIN typed, a
    // request) is made by a page that heard it.
    testsupport::PumpPosted();
}

void Soak::Check(const std::string& action)
{
    ++m_checked;
    std::string expected, seen;
    if (keyvoratest::PumpUntil([&] { return Holds(nullptr, nullptr); }, kSettleTimeoutMs))
        return;
    Holds(&expected, &seen);
    Mismatch(action, "expected " + expected + "; seen " + seen);
}

// Whether the system shows what the model expects; the texts say both, for a mismatch.
bool Soak::Holds(std::string* expectedText, std::string* seenText)
{
    std::ostringstream expected, seen;
    bool holds = true;
    for (int k : OpenTabs(false))
        holds = TabHolds(k, expected, seen) && holds;
    const std::wstring handOff = m_model.recorded.empty() ? tsmb::HandOffKey::kCleared : m_model.recorded;
    const int disconnects = DisconnectsLogged(m_sdkLog);
    const std::wstring value = HandOff();
    expected << "shell: disconnections " << m_model.disconnects << ", hand-off \"" << Narrow(handOff) << "\"";
    seen << "shell: disconnections " << disconnects << ", hand-off \"" << Narrow(value) << "\"";
    holds = holds && disconnects == m_model.disconnects && value == handOff;
    if (m_model.sessionOwed) {
        // The card whose certificate WinINet was given last left or could not be watched.
        expected << "; TLS session ended after " << m_endsAtCertificate << " ends";
        seen << "; TLS session ends " << g_sessionEnds.load();
        holds = holds && g_sessionEnds.load() > m_endsAtCertificate;
    }
    std::string tries;
    if (!TriesIntact(&tries)) {
        expected << "; every card with all its PIN tries";
        seen << "; " << tries;
        holds = false;
    }
    if (expectedText)
        *expectedText = expected.str();
    if (seenText)
        *seenText = seen.str();
    return holds;
}

bool Soak::TabHolds(int k, std::ostringstream& expected, std::ostringstream& seen)
{
    const Tab& tab = m_tabs[k];
    const ActiveCard active = m_model.Active(k);
    const std::wstring reader = tab.host->Object().GetActiveReader();
    const std::wstring pin = PinRead(k);
    // What the page heard this step: what it must have, and a word about every new card.
    std::vector<LONG> heard;
    for (size_t i = tab.heardFrom; i < tab.sink.events.size(); ++i)
        if (IsCardStateEvent(tab.sink.events[i].eventType))
            heard.push_back(tab.sink.events[i].eventType);
    bool heardEnough = active == tab.activeBefore || !heard.empty();
    for (long must : m_model.controls[k].mustHear)
        heardEnough = heardEnough && std::find(heard.begin(), heard.end(), must) != heard.end();
    expected << "tab " << k << ": event " << m_model.ExpectedEvent() << " reader \"" << Narrow(active.reader)
             << "\" PIN \"" << Narrow(m_model.ExpectedPin(k)) << "\"";
    for (long must : m_model.controls[k].mustHear)
        expected << " hearing " << must;
    if (active != tab.activeBefore)
        expected << " hearing of the new card";
    expected << "; ";
    seen << "tab " << k << ": event " << LastCardEvent(k) << " reader \"" << Narrow(reader) << "\" PIN \""
         << Narrow(pin) << "\" heard [";
    for (size_t i = 0; i < heard.size(); ++i)
        seen << (i ? " " : "") << heard[i];
    seen << "]; ";
    return LastCardEvent(k) == m_model.ExpectedEvent() && reader == active.reader && pin == m_model.ExpectedPin(k) &&
           heardEnough;
}

void Soak::Mismatch(const std::string& action, const std::string& what)
{
    ++m_mismatches;
    printf("soak: MISMATCH seed %u step %d after \"%s\": %s\n", m_seed, m_step, action.c_str(), what.c_str());
    printf("soak: replay with: soak.exe --seeds %u --steps %d --verbose\n", m_seed, m_step + 1);
    fflush(stdout);
    throw Diverged();
}

LONG Soak::LastCardEvent(int k) const
{
    const std::vector<keyvoratest::FiredEvent>& events = m_tabs[k].sink.events;
    for (auto e = events.rbegin(); e != events.rend(); ++e)
        if (IsCardStateEvent(e->eventType))
            return e->eventType;
    return -1;
}

std::wstring Soak::PinRead(int k)
{
    BSTR pin = nullptr;
    if (FAILED(m_tabs[k].host->Control()->get_AuthSCardPin(&pin)))
        return L"(failed)";
    const std::wstring text(pin ? pin : L"");
    SysFreeString(pin);
    return text;
}

// A PIN handed to a card it was not typed for costs that card a try.
bool Soak::TriesIntact(std::string* seen) const
{
    for (const std::wstring& reader : ReadersWhere(true)) {
        DWORD tries = 0;
        if (SimGetCardTriesLeft(reader.c_str(), &tries) == 0 && tries != kPinTries) {
            *seen = "the card in " + Narrow(reader) + " has " + std::to_string(tries) + " tries left";
            return false;
        }
    }
    return true;
}

// ---- Helpers ---------------------------------------------------------------------------------

std::vector<std::wstring> Soak::ReadersWhere(bool withCard) const
{
    std::vector<std::wstring> readers;
    for (const auto& r : m_model.readers)
        if ((r.second != kNoCard) == withCard)
            readers.push_back(r.first);
    return readers;
}

std::vector<int> Soak::OpenTabs(bool watchingOnly) const
{
    std::vector<int> tabs;
    for (int k = 0; k < kControls; ++k)
        if (m_model.controls[k].open && (!watchingOnly || m_model.Watches(k)))
            tabs.push_back(k);
    return tabs;
}

std::wstring Soak::NewReaderName(std::mt19937& random) const
{
    std::wstring name;
    do
        name = L"Soak Reader " + std::to_wstring(random() % 8);
    while (m_model.readers.count(name));
    return name;
}

void Soak::InsertCard(const std::wstring& reader, Holder holder)
{
    SimInsertCard(reader.c_str(), nullptr, 0, nullptr, kCsp);
    const std::vector<BYTE>& certificate = m_certificates[holder];
    const std::wstring pin = soak::PinOf(holder);
    SimSetCardKey(reader.c_str(), Narrow(pin).c_str(), kPinTries, certificate.data(),
                  static_cast<DWORD>(certificate.size()));
    m_model.Insert(reader, holder);
}

// WinINet and the thread pool keep an idle thread for a few seconds after its last work: the
// counts are read once they held for longer than that.
Soak::Both Soak::Measure() const
{
    const DWORD kHeldMs = 6000, kAtMostMs = 30000;
    const auto read = [this] {
        const keyvoratest::ProcessCounts own = keyvoratest::CurrentProcessCounts();
        Both both;
        both.control = Counts{own.handles - PlatformEvents(), own.threads};
        SimGetOutstanding(&both.control.contexts, &both.control.blocks, nullptr);
        both.shell = Counts{testsupport::OpenHandles(m_shell->Handle()), ThreadsOf(m_shell->Id())};
        return both;
    };
    Both counts = read();
    ULONGLONG since = GetTickCount64();
    const ULONGLONG deadline = since + kAtMostMs;
    keyvoratest::PumpUntil(
        [&] {
            const Both now = read();
            if (now.control != counts.control || now.shell != counts.shell) {
                counts = now;
                since = GetTickCount64();
            }
            return GetTickCount64() - since >= kHeldMs || GetTickCount64() >= deadline;
        },
        kAtMostMs + 1000);
    return counts;
}

double Soak::CpuMs(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(process, &created, &ended, &kernel, &user);
    const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<unsigned> seeds = {1, 2, 3};
    const wchar_t* report = nullptr;
    int steps = 100;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--verbose") {
            verbose = true;
        } else if (arg == L"--report" && i + 1 < argc) {
            report = argv[++i];
        } else if (arg == L"--steps" && i + 1 < argc) {
            steps = _wtoi(argv[++i]);
        } else if (arg == L"--seeds" && i + 1 < argc) {
            seeds.clear();
            std::wstringstream list(argv[++i]);
            for (std::wstring item; std::getline(list, item, L',');)
                seeds.push_back(static_cast<unsigned>(wcstoul(item.c_str(), nullptr, 10)));
        } else {
            fprintf(stderr, "usage: soak [--seeds 1,2,3] [--steps N] [--verbose] [--report FILE]\n");
            return 2;
        }
    }
    if (report && !_wfreopen(report, L"w", stdout)) {
        fprintf(stderr, "soak: cannot write the report\n");
        return 2;
    }
    return Soak(verbose).Run(seeds, steps);
}
