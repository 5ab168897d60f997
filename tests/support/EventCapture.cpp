#include "EventCapture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "EventLog.h"
#include "Process.h"
#include "UniqueHandle.h"

namespace testsupport {

namespace {

std::mutex g_lock;
std::vector<EventEntry> g_entries;
ULONGLONG g_now = 0;
HANDLE const kSource = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4E5E));

ULONGLONG Clock()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_now;
}

HANDLE WINAPI RegisterSource(LPCWSTR, LPCWSTR name) { return name && !wcscmp(name, L"Orvane") ? kSource : nullptr; }

BOOL WINAPI Report(HANDLE source, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID)
{
    if (source != kSource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    EventEntry entry{type, id, {}};
    for (WORD i = 0; i < count; ++i)
        entry.inserts.emplace_back(strings[i] ? strings[i] : L"(null)");
    std::lock_guard<std::mutex> hold(g_lock);
    g_entries.push_back(entry);
    return TRUE;
}

}  // namespace

EventCapture::EventCapture()
    : m_register(new ImportHook(nullptr, "RegisterEventSourceW", &RegisterSource)),
      m_report(new ImportHook(nullptr, "ReportEventW", &Report))
{
    Clear();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_now = 3600 * 1000;
    }
    tsmb::SetOutcomeClock(&Clock);
}

EventCapture::~EventCapture()
{
    tsmb::SetOutcomeClock(nullptr);
    tsmb::ForgetReportedOutcomes();
}

std::vector<EventEntry> EventCapture::Entries() const
{
    std::lock_guard<std::mutex> hold(g_lock);
    return g_entries;
}

void EventCapture::Clear()
{
    tsmb::ForgetReportedOutcomes();
    std::lock_guard<std::mutex> hold(g_lock);
    g_entries.clear();
}

void EventCapture::Advance(ULONGLONG milliseconds)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_now += milliseconds;
}

std::wstring FormatEvent(const wchar_t* module, DWORD id, const std::vector<std::wstring>& inserts)
{
    const tsmb::UniqueModule table(
        LoadLibraryExW(BesideTestProgram(module).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!table)
        return L"(no module)";
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    LPWSTR text = nullptr;
    const DWORD chars = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, table.Get(), id,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&text), 0,
        reinterpret_cast<va_list*>(arguments.empty() ? nullptr : arguments.data()));
    std::wstring message = chars && text ? std::wstring(text, chars) : L"(no message)";
    LocalFree(text);
    message.erase(message.find_last_not_of(L"\r\n") + 1);
    return message;
}

namespace {

// The administrators' guide's row for the identifier: "| 1000 | Information | text | what to do |".
bool DocumentedEvent(DWORD id, std::string& level, std::string& text)
{
    std::string path = "Z:" ORVANE_SOURCE_DIR "/docs/admin-guide.md";
    for (char& c : path)
        if (c == '/')
            c = '\\';
    std::ifstream guide(path.c_str());
    const std::string start = "| " + std::to_string(id & 0xFFFF) + " | ";
    for (std::string line; std::getline(guide, line);) {
        if (line.compare(0, start.size(), start) != 0)
            continue;
        std::istringstream cells(line.substr(start.size()));
        std::getline(cells, level, '|');
        std::getline(cells, text, '|');
        level.erase(level.find_last_not_of(' ') + 1);
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return true;
    }
    return false;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

void ExpectOutcomes(const EventCapture& capture, const wchar_t* module, const std::vector<EventEntry>& expected)
{
    const std::vector<EventEntry> entries = capture.Entries();
    std::ostringstream seen;
    for (const EventEntry& entry : entries)
        seen << (entry.id & 0xFFFF) << " ";
    ASSERT_EQ(expected.size(), entries.size()) << "entries: " << seen.str();
    for (size_t i = 0; i < entries.size(); ++i) {
        const EventEntry& entry = entries[i];
        EXPECT_EQ(expected[i].id, entry.id) << "entries: " << seen.str();
        EXPECT_TRUE(expected[i].inserts == entry.inserts) << "inserts of event " << (entry.id & 0xFFFF);
        std::string level, text;
        ASSERT_TRUE(DocumentedEvent(entry.id, level, text)) << "the admin guide does not list event " << (entry.id & 0xFFFF);
        const WORD type = level == "Error" ? EVENTLOG_ERROR_TYPE
                          : level == "Warning" ? EVENTLOG_WARNING_TYPE
                                               : EVENTLOG_INFORMATION_TYPE;
        EXPECT_EQ(type, entry.type) << "event " << (entry.id & 0xFFFF) << " is documented as " << level;
        for (size_t n = entry.inserts.size(); n > 0; --n)
            for (size_t at; (at = text.find("%" + std::to_string(n))) != std::string::npos;)
                text.replace(at, 1 + std::to_string(n).size(), Narrow(entry.inserts[n - 1]));
        // Backticks and escaped bars are the guide's markup, not the message's.
        std::string plain;
        for (size_t c = 0; c < text.size(); ++c)
            if (text[c] != '`' && !(text[c] == '\\' && c + 1 < text.size() && text[c + 1] == '|'))
                plain += text[c];
        EXPECT_EQ(plain, Narrow(FormatEvent(module, entry.id, entry.inserts))) << "event " << (entry.id & 0xFFFF);
    }
}

}  // namespace testsupport
