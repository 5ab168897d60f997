#include "Report.h"

#include <cwchar>

namespace orvcheck {

namespace {

const size_t kIdColumn = 22;
const wchar_t kGuidePath[] = L"docs/admin-guide.md#";

std::wstring Pad(const std::wstring& text, size_t width)
{
    return text.size() >= width ? text + L" " : text + std::wstring(width - text.size(), L' ');
}

std::wstring Summary(const std::vector<Finding>& findings)
{
    size_t counts[3] = {};
    for (const Finding& finding : findings)
        ++counts[static_cast<int>(finding.status)];
    static const wchar_t* const kMeaning[] = {L"all OK", L"it works, but weaker than the admin guide advises",
                                              L"the promise cannot hold on this PC"};
    const int code = ExitCode(findings);
    return std::to_wstring(findings.size()) + L" checks: " + std::to_wstring(counts[2]) + L" FAIL, " +
           std::to_wstring(counts[1]) + L" WARN, " + std::to_wstring(counts[0]) + L" OK. Exit code " +
           std::to_wstring(code) + L": " + kMeaning[code] + L".";
}

std::wstring Json(const std::wstring& text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c < 0x20) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

}  // namespace

std::wstring RenderTable(const ReportHeader& header, const std::vector<Finding>& findings)
{
    std::wstring table = L"Orvane kiosk check " + header.version + L" on " + header.computer + L" for " + header.user +
                         L"\r\n\r\n";
    for (const Finding& finding : findings) {
        table += Pad(StatusText(finding.status), 6) + Pad(finding.id, kIdColumn) + finding.why + L"\r\n";
        if (finding.status != Status::Ok)
            table += std::wstring(6 + kIdColumn, L' ') + L"admin guide: " + finding.guide.title + L"\r\n";
    }
    return table + L"\r\n" + Summary(findings) + L"\r\n";
}

std::wstring RenderJson(const ReportHeader& header, const std::vector<Finding>& findings)
{
    const int code = ExitCode(findings);
    std::wstring json = L"{\"tool\":\"orvcheck\",\"version\":" + Json(header.version) + L",\"computer\":" +
                        Json(header.computer) + L",\"user\":" + Json(header.user) + L",\"result\":" +
                        Json(StatusText(Worst(findings))) + L",\"exitCode\":" + std::to_wstring(code) +
                        L",\"checks\":[";
    for (size_t i = 0; i < findings.size(); ++i) {
        const Finding& finding = findings[i];
        json += (i ? L",\r\n" : L"\r\n") + std::wstring(L"{\"id\":") + Json(finding.id) + L",\"status\":" +
                Json(StatusText(finding.status)) + L",\"why\":" + Json(finding.why) + L",\"guide\":" +
                Json(kGuidePath + std::wstring(finding.guide.anchor)) + L",\"section\":" + Json(finding.guide.title) +
                L"}";
    }
    return json + L"]}\r\n";
}

}  // namespace orvcheck
