#pragma once
// The arguments of ReadHttpDataFromUrl as the exchange takes them: absent ones get their
// defaults (traced), and what a hostile page could use to write its own request is refused
// before anything is sent.
#include <windows.h>
#include <oleauto.h>

#include <string>

struct ExchangeArguments {
    std::wstring url;   // up to its first NUL; empty when absent
    std::wstring verb;  // "GET" when absent
    std::wstring body;  // every character, NULs included
};

// function: the qualified name the traces carry.
ExchangeArguments TakeExchangeArguments(const char* function, BSTR url, BSTR verb, BSTR body);

// Why the arguments are refused, for the trace, or nullptr when they are not: a verb that is no
// HTTP method token of 1 to 32 characters, a URL with CR, LF or NUL in it.
const char* RefusedArgument(BSTR url, BSTR verb);
