// Benchmark of ReadHttpDataFromUrl against the local test server (start it first:
// testbed/https/testserver.py start <bin>/httpserver <bin>/testcerts), with a simulated card:
//  - 1 MiB through the control's scripted method beside a bare WinINet read loop of the same
//    URL, in one run, as a ratio of the medians;
//  - many small calls: handles, threads and private memory before and after.
//   exchange_bench.exe [runs] [calls]
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cwchar>
#include <fstream>
#include <string>

#include "BenchStats.h"
#include "ControlHost.h"
#include "StandIn.h"
#include "TestMachine.h"
#include "ImportHook.h"
#include "scardsim.h"

namespace {

std::wstring Beside(const wchar_t* name) { return standin::BesideThisProgram(name); }

// Wine's WinINet cannot attach a client certificate (12009): taken as attached.
BOOL WINAPI AcceptClientCertificate(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option == INTERNET_OPTION_CLIENT_CERT_CONTEXT)
        return TRUE;
    // The import slot of this program is the hooked one: the real export, not the import.
    return testsupport::RealExport<decltype(&InternetSetOptionW)>(L"wininet.dll", "InternetSetOptionW")(handle, option,
                                                                                                       buffer, length);
}

// The same URL read the plain way: one session, connection and request, 4096-byte reads.
size_t BareRead(DWORD port, const wchar_t* object)
{
    HINTERNET open = InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connect = InternetConnectW(open, L"127.0.0.1", static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestW(connect, L"GET", object, nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    size_t total = 0;
    if (HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
        char piece[4096];
        for (DWORD read = 0; InternetReadFile(request, piece, sizeof(piece), &read) && read > 0;)
            total += read;
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connect);
    InternetCloseHandle(open);
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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = argc > 1 ? _wtoi(argv[1]) : 20;
    const int calls = argc > 2 ? _wtoi(argv[2]) : 1000;
    DWORD port = 0;
    std::ifstream ports(Beside(L"httpserver\\ports").c_str());
    for (std::string line; std::getline(ports, line);)
        if (line.compare(0, 5, "http=") == 0)
            port = std::stoul(line.substr(5));
    if (port == 0) {
        fwprintf(stderr, L"start the test server first (testbed/https/testserver.py start <bin>\\httpserver ...)\n");
        return 1;
    }
    standin::RegisterCardProvider();
    const wchar_t reader[] = L"Bench Reader";
    SimReset();
    SimAttachReader(reader);
    SimInsertCard(reader, nullptr, 0, nullptr, L"Orvane Test Card CSP");
    const std::vector<BYTE> der = standin::ReadFileBytes(Beside(L"testcerts\\card-alice.der"));
    SimSetCardKey(reader, "1234", 3, der.data(), static_cast<DWORD>(der.size()));

    testsupport::ImportHook accept(nullptr, "InternetSetOptionW", &AcceptClientCertificate);
    keyvoratest::ClassRegistration registration;
    keyvoratest::EventSink sink;
    keyvoratest::HostedControl host(&sink);
    keyvoratest::PumpUntil([&] { return !sink.events.empty() && sink.events.back().eventType == 1; }, 10000);
    BSTR pin = SysAllocString(L"1234");
    host.Control()->put_AuthSCardPin(pin);
    SysFreeString(pin);

    const std::wstring object = L"/bytes?size=1048576";
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + object;
    const auto call = [&](const std::wstring& target, size_t& characters) {
        BSTR u = SysAllocString(target.c_str()), data = nullptr;
        const HRESULT hr = host.Control()->ReadHttpDataFromUrl(u, nullptr, nullptr, &data);
        ULONG lastError = 1;
        host.Control()->get_ReadHttpDataFromUrlLastError(&lastError);
        characters = data ? SysStringLen(data) : 0;
        SysFreeString(u);
        SysFreeString(data);
        return SUCCEEDED(hr) && lastError == 0;
    };

    std::vector<double> bare, control;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER start, middle, end;
        QueryPerformanceCounter(&start);
        const size_t bytes = BareRead(port, object.c_str());
        QueryPerformanceCounter(&middle);
        size_t characters = 0;
        const bool ok = call(url, characters);
        QueryPerformanceCounter(&end);
        if (bytes != 1048576 || !ok || characters != 1048576) {
            fwprintf(stderr, L"run %d: bare %u bytes, control %ls with %u characters\n", i, static_cast<unsigned>(bytes),
                     ok ? L"ok" : L"failed", static_cast<unsigned>(characters));
            return 1;
        }
        bare.push_back(TicksToMicros(middle.QuadPart - start.QuadPart));
        control.push_back(TicksToMicros(end.QuadPart - middle.QuadPart));
    }
    ReportLatency(L"bare WinINet read of 1 MiB", bare);
    ReportLatency(L"ReadHttpDataFromUrl of 1 MiB (card certificate and PIN each time)", control);
    std::sort(bare.begin(), bare.end());
    std::sort(control.begin(), control.end());
    wprintf(L"ratio of the medians (control / bare): %.2f\n", control[control.size() / 2] / bare[bare.size() / 2]);

    const std::wstring small = L"http://127.0.0.1:" + std::to_wstring(port) + L"/text?body=x";
    size_t characters = 0;
    for (int i = 0; i < 50; ++i)  // what the first calls load stays loaded
        call(small, characters);
    const keyvoratest::ProcessCounts before = keyvoratest::CurrentProcessCounts();
    const SIZE_T memoryBefore = PrivateBytes();
    int failed = 0;
    for (int i = 0; i < calls; ++i)
        failed += call(small, characters) ? 0 : 1;
    const keyvoratest::ProcessCounts after = keyvoratest::CurrentProcessCounts();
    const SIZE_T memoryAfter = PrivateBytes();
    wprintf(L"%d calls (%d failed): handles %lu -> %lu, threads %lu -> %lu, private memory %lu KiB -> %lu KiB\n", calls,
            failed, before.handles, after.handles, before.threads, after.threads,
            static_cast<unsigned long>(memoryBefore / 1024), static_cast<unsigned long>(memoryAfter / 1024));
    SimReset();
    return failed == 0 ? 0 : 1;
}
