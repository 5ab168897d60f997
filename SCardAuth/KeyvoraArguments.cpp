#include "KeyvoraArguments.h"

#include <cwchar>

#include "Trace.h"

namespace {

const UINT kMaxMethodChars = 32;

// An HTTP method is a token: letters, digits and "!#$%&'*+-.^_`|~", here 1 to 32 of them. Anything
// else (a space, CR or LF above all) would let a page write its own request line or headers.
bool IsMethodToken(const BSTR verb)
{
    const UINT length = SysStringLen(verb);
    if (length == 0 || length > kMaxMethodChars)
        return false;
    for (UINT i = 0; i < length; ++i) {
        const wchar_t c = verb[i];
        if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
              (c != L'\0' && wcschr(L"!#$%&'*+-.^_`|~", c))))
            return false;
    }
    return true;
}

// WinINet would cut a URL at a NUL, or put a CR or LF on the wire.
bool HasLineBreakOrNul(const BSTR url)
{
    const UINT length = SysStringLen(url);
    for (UINT i = 0; i < length; ++i)
        if (url[i] == L'\r' || url[i] == L'\n' || url[i] == L'\0')
            return true;
    return false;
}

}  // namespace

ExchangeArguments TakeExchangeArguments(const char* function, BSTR url, BSTR verb, BSTR body)
{
    ExchangeArguments arguments;
    if (url)
        arguments.url = url;
    else
        Trace("SCardAuth:%s: no URL submitted (empty)", function);
    if (verb) {
        arguments.verb = verb;
    } else {
        Trace("SCardAuth:%s: no httpRequest submitted (use 'GET' by default)", function);
        arguments.verb = L"GET";
    }
    if (body)
        arguments.body.assign(body, SysStringLen(body));
    else
        Trace("SCardAuth:%s: no httpRequestBody sumbitted (empty)", function);
    Trace("SCardAuth:%s: called with url: %S httpRequest: %S httpRequestBody: %S", function, arguments.url.c_str(),
          arguments.verb.c_str(), arguments.body.c_str());
    return arguments;
}

const char* RefusedArgument(BSTR url, BSTR verb)
{
    if (verb && !IsMethodToken(verb))
        return "httpRequest (not an HTTP method token of 1 to 32 characters)";
    if (url && HasLineBreakOrNul(url))
        return "URL (CR, LF or NUL in it)";
    return nullptr;
}
