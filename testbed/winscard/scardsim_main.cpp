// scardsim: drives the simulated smart-card service from scripts and by hand.
//   scardsim attach|detach "<reader>"
//   scardsim insert "<reader>" [--atr <hex>] [--card "<card type>"] [--csp "<provider>"]
//                   [--pin <PIN>] [--tries <n>] [--cert <DER file> | --no-cert]
//     (the card's key container: PIN "1234", 3 tries and no certificate unless given)
//   scardsim remove "<reader>"
//   scardsim service stop|start
//   scardsim fail <operation> <code>
//   scardsim reset | status
// Exit code 0 on success; otherwise one line on standard error.
#include "scardsim.h"

#include <winscard.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int Fail(const wchar_t* format, const wchar_t* detail = L"")
{
    fwprintf(stderr, L"scardsim: ");
    fwprintf(stderr, format, detail);
    fwprintf(stderr, L"\n");
    return 1;
}

int Usage() { return Fail(L"usage: scardsim attach|detach|insert|remove|service|fail|reset|status ...%ls"); }

// Names the common results so a person can read the error line.
int Check(LONG result, const std::wstring& reader = L"")
{
    switch (result) {
    case static_cast<LONG>(SCARD_S_SUCCESS): return 0;
    case SCARD_E_UNKNOWN_READER: return Fail(L"unknown reader \"%ls\"", reader.c_str());
    case SCARD_E_DUPLICATE_READER: return Fail(L"reader \"%ls\" is already attached", reader.c_str());
    case SCARD_E_NO_SMARTCARD: return Fail(L"no card in reader \"%ls\"", reader.c_str());
    case ERROR_ALREADY_EXISTS: return Fail(L"a card is already in reader \"%ls\"", reader.c_str());
    case SCARD_E_INVALID_ATR: return Fail(L"ATR must have 2 to 36 bytes%ls");
    case SCARD_E_NO_MEMORY: return Fail(L"no room left in the simulator%ls");
    default: {
        wchar_t text[64];
        swprintf(text, 64, L"0x%08lX", static_cast<unsigned long>(result));
        return Fail(L"failed with %ls", text);
    }
    }
}

bool ParseHex(const std::wstring& text, std::vector<BYTE>& bytes)
{
    std::wstring digits;
    for (wchar_t c : text)
        if (c != L' ' && c != L':')
            digits.push_back(c);
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        const std::wstring pair = digits.substr(i, 2);
        if (!iswxdigit(pair[0]) || !iswxdigit(pair[1]))
            return false;
        bytes.push_back(static_cast<BYTE>(wcstoul(pair.c_str(), nullptr, 16)));
    }
    return true;
}

bool ParseCode(const std::wstring& text, LONG& code)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const unsigned long long value = hex ? wcstoull(text.c_str() + 2, &end, 16) : wcstoull(text.c_str(), &end, 10);
    if (end == nullptr || *end != L'\0' || value > 0xFFFFFFFFull)
        return false;
    code = static_cast<LONG>(static_cast<DWORD>(value));
    return true;
}

bool ReadFileBytes(const std::wstring& path, std::vector<BYTE>& bytes)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return false;
    bytes.clear();
    BYTE buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), file)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    fclose(file);
    return !bytes.empty();
}

int Insert(const std::vector<std::wstring>& args)
{
    const std::wstring& reader = args[0];
    std::vector<BYTE> atr;
    const wchar_t* card = nullptr;
    const wchar_t* csp = nullptr;
    std::string pin = "1234";
    DWORD tries = 3;
    std::vector<BYTE> certificate;
    for (size_t i = 1; i < args.size(); i += 2) {
        if (args[i] == L"--no-cert") {
            certificate.clear();
            --i;
            continue;
        }
        if (i + 1 >= args.size())
            return Fail(L"%ls needs a value", args[i].c_str());
        if (args[i] == L"--atr") {
            if (!ParseHex(args[i + 1], atr))
                return Fail(L"malformed ATR \"%ls\"", args[i + 1].c_str());
        } else if (args[i] == L"--card") {
            card = args[i + 1].c_str();
        } else if (args[i] == L"--csp") {
            csp = args[i + 1].c_str();
        } else if (args[i] == L"--pin") {
            pin.assign(args[i + 1].begin(), args[i + 1].end());
        } else if (args[i] == L"--tries") {
            LONG value = 0;
            if (!ParseCode(args[i + 1], value) || value <= 0)
                return Fail(L"malformed number of tries \"%ls\"", args[i + 1].c_str());
            tries = static_cast<DWORD>(value);
        } else if (args[i] == L"--cert") {
            if (!ReadFileBytes(args[i + 1], certificate))
                return Fail(L"cannot read the certificate \"%ls\"", args[i + 1].c_str());
        } else {
            return Fail(L"unknown option %ls", args[i].c_str());
        }
    }
    if (const int failed = Check(SimInsertCard(reader.c_str(), atr.empty() ? nullptr : atr.data(),
                                               static_cast<DWORD>(atr.size()), card, csp),
                                 reader))
        return failed;
    return Check(SimSetCardKey(reader.c_str(), pin.c_str(), tries, certificate.empty() ? nullptr : certificate.data(),
                               static_cast<DWORD>(certificate.size())),
                 reader);
}

int Status()
{
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD state = 0;
        BYTE atr[64];
        DWORD atrLength = 0;
        if (SimGetReader(i, name, 256, &state, atr, &atrLength) != SCARD_S_SUCCESS)
            break;
        wprintf(L"\"%ls\" 0x%08lX", name, static_cast<unsigned long>(state));
        if (atrLength > 0)
            wprintf(L" ");
        for (DWORD b = 0; b < atrLength; ++b)
            wprintf(L"%02X", atr[b]);
        wprintf(L"\n");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const std::wstring command = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);

    if (command == L"reset" && args.empty())
        return Check(SimReset());
    if (command == L"status" && args.empty())
        return Status();
    if (command == L"attach" && args.size() == 1)
        return Check(SimAttachReader(args[0].c_str()), args[0]);
    if (command == L"detach" && args.size() == 1)
        return Check(SimDetachReader(args[0].c_str()), args[0]);
    if (command == L"remove" && args.size() == 1)
        return Check(SimRemoveCard(args[0].c_str()), args[0]);
    if (command == L"insert" && !args.empty())
        return Insert(args);
    if (command == L"service" && args.size() == 1) {
        if (args[0] == L"stop")
            return Check(SimStopService());
        if (args[0] == L"start")
            return Check(SimStartService());
        return Fail(L"unknown service action \"%ls\"", args[0].c_str());
    }
    if (command == L"fail" && args.size() == 2) {
        LONG code = 0;
        if (!ParseCode(args[1], code))
            return Fail(L"malformed code \"%ls\"", args[1].c_str());
        std::string operation(args[0].begin(), args[0].end());
        return Check(SimFailNext(operation.c_str(), code));
    }
    return Fail(L"unknown command or wrong arguments: \"%ls\"", command.c_str());
}
