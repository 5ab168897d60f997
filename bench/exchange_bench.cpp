// Benchmark of ReadHttpDataFromUrl against the local test server (start it first:
// testbed/https/testserver.py start <bin>/httpserver <bin>/testcerts), with a simulated card,
// each figure beside a bare WinINet loop of the same URL in the same run:
//  - 1 MiB over HTTP through the control's scripted method and through the bare loop (and the
//    bare loop keeping the body, and a new page string of that size by itself: what memory the
//    process has not touched costs here);
//  - small requests (/peer, which answers the client's port) over HTTP and over HTTPS: the bare
//    loop keeping its connection, the bare loop sending "Connection: close" (a new TCP, and
//    TLS, connection per request: what a rule of no pooled connection costs), and the control;
//    the client ports (the server's answer) show how many requests of each way went out on a
//    new connection;
//  - where the time of a request goes, phase by phase, and the card operations it makes (the
//    stand-ins' counters): 1 MiB, a small request of a card the control already used, and the
//    first request after the card went in (card removed, inserted, PIN set before each);
//  - the same small requests with a card that answers like a real one: 30 ms per provider
//    operation and 5 ms per service call (the stand-ins' delays);
//  - many small calls: handles, threads and private memory before and after.
//   exchange_bench.exe [runs] [calls] [small]
#include <cwchar>

#include "BenchExchange.h"
#include "BenchPhases.h"
#include "BenchStats.h"
#include "InternetHandle.h"

namespace {

// The control's request flags, so that the bare loop differs from it only where it says.
const DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;

// The URL read the plain way: one session, connection and request, 4096-byte reads, as the
// control does per call. headers: additional request headers, or nullptr. flags: kFlags, or
// other request flags.
// sent: the performance counter once the answer's headers came (the send returned).
size_t BareRead(const wchar_t* host, DWORD port, bool secure, const std::wstring& object, const wchar_t* headers,
                std::string* body = nullptr, DWORD flags = kFlags, LONGLONG* sent = nullptr)
{
    // Declared in this order, they close in the reverse one: request, connection, session.
    const InternetHandle open(InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const InternetHandle connect(InternetConnectW(open.Get(), host, static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                                  INTERNET_SERVICE_HTTP, 0, 0));
    const InternetHandle request(HttpOpenRequestW(connect.Get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
                                                  flags | (secure ? INTERNET_FLAG_SECURE : 0), 0));
    size_t total = 0;
    // A header length of 0 would drop the header; (DWORD)-1 sends it.
    if (HttpSendRequestW(request.Get(), headers, headers ? static_cast<DWORD>(-1) : 0, nullptr, 0)) {
        if (sent)
            *sent = Now();
        char piece[4096];
        for (DWORD read = 0; InternetReadFile(request.Get(), piece, sizeof(piece), &read) && read > 0;) {
            total += read;
            if (body)
                body->append(piece, read);
        }
    }
    return total;
}

// Committed private memory, walked region by region (Wine's process counters report 0).
SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const BYTE* address = nullptr; VirtualQuery(address, &info, sizeof(info)) == sizeof(info);) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        const BYTE* next = static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return total;
}

// One series of small requests: latencies and how many went out on a connection (client
// port) the previous request of the series had not used.
struct Series {
    std::vector<double> micros;
    unsigned long lastPort = 0;
    int newConnections = 0;
    void Add(LONGLONG ticks, unsigned long port)
    {
        micros.push_back(TicksToMicros(ticks));
        if (port != lastPort)
            ++newConnections;
        lastPort = port;
    }
};

// A small request whose card the control has not used yet: the card goes out and in again
// (the control hears both), and the page sets its PIN, before each.
bool RenewCard(keyvoratest::HostedControl& host, keyvoratest::EventSink& sink, const wchar_t* reader)
{
    SimRemoveCard(reader);
    if (!keyvoratest::PumpUntil([&] { return sink.events.back().eventType == 0; }, 10000))
        return false;
    if (!benchexchange::InsertCardWithKey(reader) ||
        !keyvoratest::PumpUntil([&] { return sink.events.back().eventType == 1; }, 10000))
        return false;
    benchexchange::SetPin(host, L"1234");
    return true;
}

// Phases and operations of runs requests of url: each of a card the control used before, or
// (first) each the first of its card.
bool MeasurePhases(const char* key, const wchar_t* what, keyvoratest::HostedControl& host, keyvoratest::EventSink& sink,
                   const wchar_t* reader, const std::wstring& url, int runs, bool first)
{
    std::vector<benchphases::Measured> measured;
    std::wstring data;
    if (!first && !benchexchange::ReadThroughControl(host, url, data))  // the card is known
        return false;
    for (int i = 0; i < runs; ++i) {
        if (first && !RenewCard(host, sink, reader)) {
            fwprintf(stderr, L"%hs: the card did not come back\n", key);
            return false;
        }
        benchphases::Measured m;
        {
            const benchphases::Hooks hooks;
            m = benchphases::MeasureOne(host, url, data);
        }
        if (!m.ok) {
            fwprintf(stderr, L"%hs: run %d failed\n", key, i);
            return false;
        }
        measured.push_back(m);
    }
    benchphases::Report(key, what, measured);
    return true;
}

// Every service call and provider operation takes as long as a real card's (the stand-ins'
// delays), for the phases of small requests; then the simulation's own pace again.
bool MeasureSlowCard(keyvoratest::HostedControl& host, keyvoratest::EventSink& sink, const wchar_t* reader,
                     const std::wstring& url, int runs)
{
    SetEnvironmentVariableW(L"SCARDSIM_DELAY_MS", L"5");
    SetEnvironmentVariableW(L"CARDCSP_DELAY_MS", L"30");
    SetEnvironmentVariableW(L"NCRYPT_DELAY_MS", L"30");
    const bool ok =
        MeasurePhases("slow-first", L"small request, first of its card, 30 ms per provider operation, 5 ms per service call",
                      host, sink, reader, url, runs, true) &&
        MeasurePhases("slow-later", L"small request, card used before, 30 ms per provider operation, 5 ms per service call",
                      host, sink, reader, url, runs, false);
    SetEnvironmentVariableW(L"SCARDSIM_DELAY_MS", nullptr);
    SetEnvironmentVariableW(L"CARDCSP_DELAY_MS", nullptr);
    SetEnvironmentVariableW(L"NCRYPT_DELAY_MS", nullptr);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 20;
    const int calls = argc > 2 ? _wtoi(argv[2]) : 1000;
    const int small = argc > 3 ? _wtoi(argv[3]) : 100;
    const benchexchange::Ports ports = benchexchange::ReadPorts();
    if (ports.http == 0 || ports.https == 0) {
        fwprintf(stderr, L"start the test server first (testbed/https/testserver.py start <bin>\\httpserver ...)\n");
        return 1;
    }
    const wchar_t reader[] = L"Bench Reader";
    SimReset();
    SimAttachReader(reader);
    if (!benchexchange::PrepareCard(reader)) {
        fwprintf(stderr, L"cannot trust the test CA or register the card provider\n");
        return 1;
    }

    testsupport::ImportHook accept(nullptr, "InternetSetOptionW", &benchexchange::AcceptClientCertificate);
    keyvoratest::ClassRegistration registration;
    keyvoratest::EventSink sink;
    keyvoratest::HostedControl host(&sink);
    keyvoratest::PumpUntil([&] { return !sink.events.empty() && sink.events.back().eventType == 1; }, 10000);
    benchexchange::SetPin(host, L"1234");

    const std::wstring object = L"/bytes?size=1048576";
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(ports.http) + object;
    std::vector<double> bare, bareSend, bareReads, bareKept, control;
    for (int i = 0; i < runs; ++i) {
        // The bare loop keeping the body, as the control must (in a string of its length):
        // memory the process has not touched costs here, which the baseline does not pay.
        LONGLONG kept = Now();
        {
            std::string body;
            body.reserve(1 << 20);
            BareRead(L"127.0.0.1", ports.http, false, object, nullptr, &body);
            kept = Now() - kept;
        }
        const LONGLONG start = Now();
        LONGLONG sent = 0;
        const size_t bytes = BareRead(L"127.0.0.1", ports.http, false, object, nullptr, nullptr, kFlags, &sent);
        const LONGLONG middle = Now();
        std::wstring data;
        LONGLONG end = 0;
        const bool ok = benchexchange::ReadThroughControl(host, url, data, &end);
        if (bytes != 1048576 || !ok || data.size() != 1048576) {
            fwprintf(stderr, L"run %d: bare %u bytes, control %ls with %u characters\n", i, static_cast<unsigned>(bytes),
                     ok ? L"ok" : L"failed", static_cast<unsigned>(data.size()));
            return 1;
        }
        bare.push_back(TicksToMicros(middle - start));
        bareKept.push_back(TicksToMicros(kept));
        bareSend.push_back(TicksToMicros(sent - start));
        bareReads.push_back(TicksToMicros(middle - sent));
        control.push_back(TicksToMicros(end - middle));
    }
    // What the page's string of that body costs by itself: 1 M characters, 2 MiB that the process
    // has not touched yet (Wine zeroes a new string, which touches every page).
    std::vector<double> fresh;
    for (int i = 0; i < runs; ++i) {
        const LONGLONG start = Now();
        const tsmb::UniqueBstr text(SysAllocStringLen(nullptr, 1 << 20));
        fresh.push_back(TicksToMicros(Now() - start));
    }
    ReportLatency("string2m", L"a new page string of 1 M characters allocated", fresh);
    ReportLatency("bare1m", L"bare WinINet read of 1 MiB over HTTP", bare);
    ReportLatency("bare1m-send", L"  phase: open and send, to the answer's headers", bareSend);
    ReportLatency("bare1m-reads", L"  phase: the reads (4096 bytes each) and the close", bareReads);
    ReportLatency("bare1m-kept", L"the same bare loop keeping the body in a string of its length", bareKept);
    ReportLatency("control1m", L"ReadHttpDataFromUrl of 1 MiB over HTTP (card certificate and PIN each time)", control);

    // Small requests, the three ways in blocks (a request that closes its connection may take
    // the pooled one: interleaved, it would close the keep-alive loop's connection each time),
    // each way twice, so that a slow drift of the machine touches all three alike.
    struct Transport {
        const char* name;
        const wchar_t* host;
        DWORD port;
        bool secure;
    };
    for (const Transport& t : {Transport{"http", L"127.0.0.1", ports.http, false},
                               Transport{"https", L"localhost", ports.https, true}}) {
        const std::wstring peer = L"/peer";
        const std::wstring peerUrl =
            std::wstring(t.secure ? L"https://" : L"http://") + t.host + L":" + std::to_wstring(t.port) + peer;
        // The client port of one request of the three ways; 0 when it failed.
        const auto request = [&](int way) -> unsigned long {
            if (way == 2) {
                std::wstring data;
                return benchexchange::ReadThroughControl(host, peerUrl, data) ? wcstoul(data.c_str(), nullptr, 10) : 0;
            }
            std::string body;
            // Wine's WinINet replaces a "Connection" header with "Keep-Alive" on a request with
            // INTERNET_FLAG_KEEP_CONNECTION: the closing way goes without that flag.
            if (way == 0)
                BareRead(t.host, t.port, t.secure, peer, nullptr, &body);
            else
                BareRead(t.host, t.port, t.secure, peer, L"Connection: close\r\n", &body,
                         kFlags & ~INTERNET_FLAG_KEEP_CONNECTION);
            return strtoul(body.c_str(), nullptr, 10);
        };
        Series series[3];
        for (int half = 0; half < 2; ++half) {
            for (int way = 0; way < 3; ++way) {
                Series& s = series[way];
                for (int i = 0; i < 2; ++i)  // warm-up: the block's first request may open the connection
                    s.lastPort = request(way);
                for (int i = 0; i < (small + 1 - half) / 2; ++i) {
                    const LONGLONG start = Now();
                    const unsigned long port = request(way);
                    const LONGLONG ticks = Now() - start;
                    if (port == 0) {
                        fwprintf(stderr, L"%hs: a small request (way %d) failed\n", t.name, way);
                        return 1;
                    }
                    s.Add(ticks, port);
                }
            }
        }
        const std::string key = t.name;
        ReportLatency((key + "-keepalive").c_str(), L"bare WinINet small request, connection kept", series[0].micros);
        ReportLatency((key + "-close").c_str(), L"bare WinINet small request with \"Connection: close\"",
                      series[1].micros);
        ReportLatency((key + "-control").c_str(), L"ReadHttpDataFromUrl small request", series[2].micros);
        ReportValue((key + "-connections").c_str(),
                    L"requests on a new connection: bare keep-alive %d of %u, bare close %d of %u, control %d of %u",
                    series[0].newConnections, static_cast<unsigned>(series[0].micros.size()), series[1].newConnections,
                    static_cast<unsigned>(series[1].micros.size()), series[2].newConnections,
                    static_cast<unsigned>(series[2].micros.size()));
    }

    const std::wstring smallUrl = L"http://127.0.0.1:" + std::to_wstring(ports.http) + L"/text?body=x";
    if (!MeasurePhases("phases1m", L"ReadHttpDataFromUrl of 1 MiB over HTTP", host, sink, reader, url, runs, false) ||
        !MeasurePhases("phases-later", L"small request over HTTP, card used before", host, sink, reader, smallUrl, small,
                       false) ||
        !MeasurePhases("phases-first", L"small request over HTTP, first of its card", host, sink, reader, smallUrl, runs,
                       true) ||
        !MeasureSlowCard(host, sink, reader, smallUrl, runs))
        return 1;

    std::wstring data;
    for (int i = 0; i < 50; ++i)  // what the first calls load stays loaded
        benchexchange::ReadThroughControl(host, smallUrl, data);
    const keyvoratest::ProcessCounts before = keyvoratest::CurrentProcessCounts();
    const SIZE_T memoryBefore = PrivateBytes();
    int failed = 0;
    for (int i = 0; i < calls; ++i)
        failed += benchexchange::ReadThroughControl(host, smallUrl, data) ? 0 : 1;
    const keyvoratest::ProcessCounts after = keyvoratest::CurrentProcessCounts();
    const SIZE_T memoryAfter = PrivateBytes();
    ReportValue("calls", L"%d calls (%d failed): handles %lu -> %lu, threads %lu -> %lu, private memory %lu KiB -> %lu KiB",
                calls, failed, before.handles, after.handles, before.threads, after.threads,
                static_cast<unsigned long>(memoryBefore / 1024), static_cast<unsigned long>(memoryAfter / 1024));
    SimReset();
    return failed == 0 ? 0 : 1;
}
