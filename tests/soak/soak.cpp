// Soak run: a seeded random sequence of reader attaches and detaches, card insertions and
// removals, service stops and starts, injected failures of the service and "authentications"
// (the reader hand-off), against the simulated smart-card service, while the control (hosted
// here in the platform's container) and Ambrel.exe (a child, with the SDK stand-in) watch.
// After every step, once both monitors have taken the change in, the control's last event and
// active reader and the shell's disconnections are compared with a model computed from the
// sequence itself. The first mismatch ends the run: once model and system are apart, every
// later check would only wait out its time.
//
//   soak.exe [--seeds 1,2,3] [--steps N] [--verbose] [--report FILE]
// The report goes to standard output, and to FILE when given.
//
// Exit code 0: no mismatch and no growth of handles or threads in either process.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CardService.h"
#include "ControlHost.h"
#include "HandOff.h"
#include "Process.h"
#include "StandIn.h"

namespace {

const DWORD kQuietTimeoutMs = 15000;
const size_t kMaxReaders = 4;

std::wstring Beside(const wchar_t* name) { return standin::BesideThisProgram(name); }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// What must be true at a quiet point, computed from the sequence alone.
struct Model {
    bool serviceUp = true;
    std::map<std::wstring, bool> readers;  // attached reader -> card present
    std::map<std::wstring, bool> shellSees;  // what the shell last saw of each reader
    std::wstring recorded;                  // hand-off value; empty: none or cleared
    int disconnects = 0;

    int Cards() const
    {
        int cards = 0;
        for (const auto& r : readers)
            cards += r.second ? 1 : 0;
        return cards;
    }
    LONG ExpectedEvent() const
    {
        if (!serviceUp)
            return 10;
        if (readers.empty())
            return 9;
        const int cards = Cards();
        return cards == 0 ? 0 : cards == 1 ? 1 : 4;
    }
    std::wstring ExpectedActiveReader() const
    {
        if (!serviceUp || Cards() != 1)
            return L"";
        for (const auto& r : readers)
            if (r.second)
                return r.first;
        return L"";
    }
    // The shell sees a card leave the recorded reader (pulled, or unplugged with it).
    void CardLeaves(const std::wstring& reader)
    {
        if (serviceUp && reader == recorded && shellSees[reader]) {
            ++disconnects;
            recorded.clear();
        }
    }
    void ShellCatchesUp() { shellSees = readers; }
};

struct Counts {
    DWORD handles = 0, threads = 0;
};

DWORD ThreadsOf(DWORD processId)
{
    DWORD threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        threads += entry.th32OwnerProcessID == processId ? 1 : 0;
    CloseHandle(snapshot);
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

// Thrown at the first mismatch, once it is reported.
struct Diverged {};

void SetHandOff(const std::wstring& reader)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                    &key, nullptr);
    RegSetValueExW(key, tsmb::HandOffKey::kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(reader.c_str()),
                   static_cast<DWORD>((reader.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

class Soak {
public:
    Soak(bool verbose) : m_verbose(verbose) {}

    int Run(const std::vector<unsigned>& seeds, int steps)
    {
        if (!Start())
            return 2;
        const double idleShell = ShellCpuMs(), idleControl = OwnCpuMs();
        Sleep(2000);  // idle between bursts: what the two monitors cost when nothing happens
        const double shellIdleCpu = ShellCpuMs() - idleShell, controlIdleCpu = OwnCpuMs() - idleControl;
        Counts controlBefore, shellBefore, controlAfter, shellAfter;
        try {
            for (size_t i = 0; i < seeds.size(); ++i) {
                ResetTo(seeds[i]);
                std::mt19937 random(seeds[i]);
                for (int step = 0; step < steps; ++step)
                    Step(random, seeds[i], step);
                // The first seed warms up what stays (the service's per-waiter events, the
                // started event): growth counts from its end.
                if (i == 0) {
                    ResetTo(0);
                    controlBefore = Control();
                    shellBefore = Shell();
                }
            }
            ResetTo(0);
            controlAfter = Control();
            shellAfter = Shell();
        } catch (const Diverged&) {
            Stop();
            printf("soak: stopped at the first mismatch: %d states checked, %d mismatches\n", m_checked, m_mismatches);
            return 1;
        }
        Stop();

        printf("soak: %d steps over %u seeds, %d states checked, %d mismatches, %d disconnections\n",
               steps * static_cast<int>(seeds.size()), static_cast<unsigned>(seeds.size()), m_checked, m_mismatches,
               m_model.disconnects + m_disconnectsBefore);
        printf("soak: after the first seed to the end: control process: handles %lu -> %lu, threads %lu -> %lu\n",
               controlBefore.handles,
               controlAfter.handles, controlBefore.threads, controlAfter.threads);
        printf("soak: after the first seed to the end: shell process: handles %lu -> %lu, threads %lu -> %lu\n",
               shellBefore.handles, shellAfter.handles, shellBefore.threads, shellAfter.threads);
        printf("soak: CPU while idle over 2 s: shell %.1f ms, control process %.1f ms\n", shellIdleCpu, controlIdleCpu);
        const bool grew = seeds.size() > 1 && (controlAfter.handles > controlBefore.handles ||
                                               controlAfter.threads > controlBefore.threads ||
                                               shellAfter.handles > shellBefore.handles ||
                                               shellAfter.threads > shellBefore.threads);
        if (grew)
            printf("soak: growth of handles or threads\n");
        return m_mismatches == 0 && !grew ? 0 : 1;
    }

private:
    bool Start()
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        m_sdkLog = std::wstring(folder) + L"soak-vsmsdk.log";
        DeleteFileW(m_sdkLog.c_str());
        SetEnvironmentVariableW(L"VSMSDK_LOG", m_sdkLog.c_str());
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, tsmb::HandOffKey::kParentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        RegCloseKey(key);
        RegDeleteKeyW(HKEY_CURRENT_USER, tsmb::HandOffKey::kKey);

        const std::wstring shell = Beside(L"Ambrel.exe");
        std::wstring command = L"\"" + shell + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(shell.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &m_shell)) {
            fprintf(stderr, "soak: cannot start Ambrel.exe\n");
            return false;
        }
        m_host.reset(new keyvoratest::HostedControl(&m_sink));
        if (!WaitQuiet()) {
            fprintf(stderr, "soak: the two monitors never became quiet\n");
            return false;
        }
        return true;
    }

    void Stop()
    {
        m_host.reset();
        TerminateProcess(m_shell.hProcess, 0);
        WaitForSingleObject(m_shell.hProcess, 10000);
        CloseHandle(m_shell.hThread);
        CloseHandle(m_shell.hProcess);
        // The browser the shell started; a few tries, as one that cannot be ended must not hold
        // the run.
        for (int tries = 0; tries < 5; ++tries) {
            HWND frame = FindWindowW(L"IEFrame", nullptr);
            if (!frame)
                break;
            DWORD id = 0;
            GetWindowThreadProcessId(frame, &id);
            HANDLE browser = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (!browser)
                break;
            TerminateProcess(browser, 0);
            WaitForSingleObject(browser, 5000);
            CloseHandle(browser);
        }
    }

    Counts Control() const
    {
        const keyvoratest::ProcessCounts counts = keyvoratest::CurrentProcessCounts();
        return {counts.handles, counts.threads};
    }
    Counts Shell() const { return {testsupport::OpenHandles(m_shell.hProcess), ThreadsOf(m_shell.dwProcessId)}; }
    double ShellCpuMs() const { return CpuMs(m_shell.hProcess); }
    double OwnCpuMs() const { return CpuMs(GetCurrentProcess()); }
    static double CpuMs(HANDLE process)
    {
        FILETIME created, ended, kernel, user;
        GetProcessTimes(process, &created, &ended, &kernel, &user);
        const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        return (ticks(kernel) + ticks(user)) / 10000.0;
    }

    // Both monitors have taken the latest change in: each sleeps in a status-change wait begun
    // after it (service up), or neither waits (service down, the control reported 10).
    bool WaitQuiet()
    {
        return keyvoratest::PumpUntil(
            [&] {
                if (m_model.serviceUp)
                    return SimCountQuietWaits() == 2;
                return SimCountPendingWaits() == 0 && !m_sink.events.empty() && m_sink.events.back().eventType == 10;
            },
            kQuietTimeoutMs);
    }

    void ResetTo(unsigned seed)
    {
        m_disconnectsBefore += m_model.disconnects;
        SimReset();
        m_model = Model();
        SetHandOff(tsmb::HandOffKey::kCleared);
        if (!WaitQuiet())
            Mismatch(seed, -1, "reset", "the monitors did not become quiet");
        Check(seed, -1, "reset");
    }

    // A reader of a name not attached yet, attached now, without a card.
    std::wstring AttachNewReader(std::mt19937& random)
    {
        std::wstring name;
        do
            name = L"Soak Reader " + std::to_wstring(random() % 8);
        while (m_model.readers.count(name));
        SimAttachReader(name.c_str());
        m_model.readers[name] = false;
        return name;
    }

    void Step(std::mt19937& random, unsigned seed, int step)
    {
        std::vector<std::wstring> attached, empty, full;
        for (const auto& r : m_model.readers) {
            attached.push_back(r.first);
            (r.second ? full : empty).push_back(r.first);
        }
        const auto pick = [&](const std::vector<std::wstring>& from) { return from[random() % from.size()]; };
        std::string action;
        switch (random() % 16) {
        case 0: case 1:
            if (attached.size() < kMaxReaders) {
                const std::wstring name = AttachNewReader(random);
                action = "attach " + Narrow(name);
            }
            break;
        case 2:
            if (!attached.empty()) {
                const std::wstring name = pick(attached);
                SimDetachReader(name.c_str());
                if (m_model.readers[name])
                    m_model.CardLeaves(name);
                m_model.readers.erase(name);
                action = "detach " + Narrow(name);
            }
            break;
        case 3: case 4: case 5: case 6:
            if (!empty.empty()) {
                const std::wstring name = pick(empty);
                SimInsertCard(name.c_str(), nullptr, 0, nullptr, nullptr);
                m_model.readers[name] = true;
                action = "insert " + Narrow(name);
            }
            break;
        case 7: case 8: case 9: case 10:
            if (!full.empty()) {
                const std::wstring name = pick(full);
                SimRemoveCard(name.c_str());
                m_model.readers[name] = false;
                m_model.CardLeaves(name);
                action = "remove " + Narrow(name);
            }
            break;
        case 11: case 12:
            // The control's successful request records the one card's reader for the shell.
            if (m_model.serviceUp && full.size() == 1) {
                SetHandOff(full[0]);
                m_model.recorded = full[0];
                action = "authenticate " + Narrow(full[0]);
            }
            break;
        case 13:
            if (m_model.serviceUp) {
                SimStopService();
                m_model.serviceUp = false;
                action = "service stop";
            } else {
                SimStartService();
                m_model.serviceUp = true;
                action = "service start";
            }
            break;
        case 14:
            if (m_model.serviceUp && attached.size() < kMaxReaders) {
                // A failing service operation, with a change that moves no card: the monitor that
                // gets it starts over a second later and sees the same cards.
                SimFailNext(random() % 2 ? "SCardGetStatusChangeW" : "SCardListReadersW",
                            static_cast<LONG>(SCARD_F_COMM_ERROR));
                const std::wstring name = AttachNewReader(random);
                action = "fail once, attach " + Narrow(name);
            }
            break;
        default:
            break;  // a quiet moment
        }
        if (action.empty())
            return;
        if (m_verbose)
            printf("soak: seed %u step %d: %s\n", seed, step, action.c_str());
        if (!WaitQuiet())
            Mismatch(seed, step, action, "the monitors did not become quiet");
        if (m_model.serviceUp)
            m_model.ShellCatchesUp();
        Check(seed, step, action);
    }

    void Check(unsigned seed, int step, const std::string& action)
    {
        ++m_checked;
        const LONG expectedEvent = m_model.ExpectedEvent();
        const std::wstring expectedReader = m_model.ExpectedActiveReader();
        const int expectedDisconnects = m_model.disconnects + m_disconnectsBefore;
        const std::wstring expectedHandOff = m_model.recorded.empty() ? tsmb::HandOffKey::kCleared : m_model.recorded;
        const bool settled = keyvoratest::PumpUntil(
            [&] {
                // While the service is down the control keeps its last reader (event 10 says why
                // nothing can be done with it).
                return !m_sink.events.empty() && m_sink.events.back().eventType == expectedEvent &&
                       (!m_model.serviceUp || m_host->Object().GetActiveReader() == expectedReader) &&
                       DisconnectsLogged(m_sdkLog) == expectedDisconnects && HandOff() == expectedHandOff;
            },
            3000);
        if (settled)
            return;
        std::ostringstream what;
        what << "expected event " << expectedEvent << " reader \"" << Narrow(expectedReader) << "\" disconnects "
             << expectedDisconnects << " hand-off \"" << Narrow(expectedHandOff) << "\"; got event "
             << (m_sink.events.empty() ? -1 : m_sink.events.back().eventType) << " reader \""
             << Narrow(m_host->Object().GetActiveReader()) << "\" disconnects " << DisconnectsLogged(m_sdkLog)
             << " hand-off \"" << Narrow(HandOff()) << "\"";
        Mismatch(seed, step, action, what.str());
    }

    void Mismatch(unsigned seed, int step, const std::string& action, const std::string& what)
    {
        ++m_mismatches;
        printf("soak: MISMATCH seed %u step %d after \"%s\": %s\n", seed, step, action.c_str(), what.c_str());
        fflush(stdout);
        throw Diverged();
    }

    testsupport::CardServiceReset m_service;
    bool m_verbose;
    PROCESS_INFORMATION m_shell = {};
    keyvoratest::ClassRegistration m_registration;
    keyvoratest::EventSink m_sink;
    std::unique_ptr<keyvoratest::HostedControl> m_host;
    std::wstring m_sdkLog;
    Model m_model;
    int m_checked = 0, m_mismatches = 0, m_disconnectsBefore = 0;
};

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
