#pragma once
// A monitor whose hooks record what they see, for tests and the benchmark.
#include "SCardMonitoringThread.h"
#include "UniqueHandle.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

class RecordingMonitor : public scardm::SCardMonitoringThread {
public:
    struct Snapshot {
        std::vector<std::wstring> readers;
        std::vector<DWORD> currents;
        std::vector<DWORD> events;
        std::vector<scardm::CardChange> changes;
        WORD pnpCount;
        bool watchUnbroken;
    };

    int BeforeStartedWaits()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_beforeStarted;
    }
    std::vector<Snapshot> Initial()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_initial;
    }
    std::vector<Snapshot> Changes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_changes;
    }
    std::vector<DWORD> SightLosses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sightLosses;
    }

    // Waits (bounded) until the predicate over this monitor holds.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!done()) {
            if (GetTickCount64() >= deadline)
                return false;
            WaitForSingleObject(m_changed.Get(), 20);
        }
        return true;
    }

protected:
    void ProcessBeforeWaitingForSCardStartedEvent(HANDLE) override
    {
        Record([&] { ++m_beforeStarted; });
    }
    void OnSightLost(DWORD code) override
    {
        Record([&] { m_sightLosses.push_back(code); });
    }
    void ProcessInitalReaderStates(scardm::ReaderStates& states) override
    {
        SCardMonitoringThread::ProcessInitalReaderStates(states);
        Snapshot s = Take(states, true);
        Record([&] { m_initial.push_back(s); });
    }
    void ProcessStateChangeInReaderStates(scardm::ReaderStates& states) override
    {
        SCardMonitoringThread::ProcessStateChangeInReaderStates(states);
        Snapshot s = Take(states, false);
        Record([&] { m_changes.push_back(s); });
    }

private:
    Snapshot Take(scardm::ReaderStates& states, bool firstPass)
    {
        Snapshot s;
        for (const auto& r : states) {
            s.readers.emplace_back(r.szReader);
            s.currents.push_back(r.dwCurrentState);
            s.events.push_back(r.dwEventState);
            s.changes.push_back(firstPass ? ChangeAtFirstPass(r) : ChangeAtStateChange(r));
        }
        s.pnpCount = RetrievePnPNotificationReaderCountFromReaderStates(states);
        s.watchUnbroken = IsWatchUnbroken();
        return s;
    }
    template <class F>
    void Record(F f)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            f();
        }
        SetEvent(m_changed.Get());
    }

    std::mutex m_mutex;
    tsmb::UniqueHandle m_changed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    int m_beforeStarted = 0;
    std::vector<Snapshot> m_initial;
    std::vector<Snapshot> m_changes;
    std::vector<DWORD> m_sightLosses;
};
