#pragma once
// What an exchange needs of the control that runs it, and no more: the site lock, the request
// time-out, whether the call's card is still the control's active card, and the hand-off of its
// reader to the shell.
#include <windows.h>

#include <string>

#include "SCardAuthState.h"
#include "SiteLock.h"

// RequestTimeoutSeconds as read from the registry: whether it was there, and its value.
struct RequestTimeoutSetting {
    bool configured = false;
    DWORD value = 0;
};

class SCardAuthExchangeHost {
public:
    // The origins requests may reach (off when not configured).
    virtual const SiteLock& GetSiteLock() const = 0;
    virtual const RequestTimeoutSetting& RequestTimeout() const = 0;
    // True while card is still the active card: the same reader and card, in the same watch.
    virtual bool IsActiveCard(const SCardAuthActiveCard& card) = 0;
    // The hand-off value for the shell; these never throw. Names: whether it names reader now
    // (false when it cannot be read).
    virtual bool AuthenticationReaderNames(const std::wstring& reader) = 0;
    virtual void SetAuthenticationReaderInVolatileRegistry(const std::wstring& reader) = 0;
    virtual void ClearAuthenticationReaderInVolatileRegistry(const std::wstring& reader) = 0;

protected:
    ~SCardAuthExchangeHost() = default;
};
