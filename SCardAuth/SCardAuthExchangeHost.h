#pragma once
// What an exchange needs of the control that runs it, and no more: the site lock, whether the
// call's card is still the control's active card, and the hand-off of its reader to the shell.
#include <string>

#include "SCardAuthState.h"
#include "SiteLock.h"

class SCardAuthExchangeHost {
public:
    // The origins requests may reach (off when not configured).
    virtual const SiteLock& GetSiteLock() const = 0;
    // True while card is still the active card: the same reader and card, in the same watch.
    virtual bool IsActiveCard(const SCardAuthActiveCard& card) = 0;
    // The hand-off value for the shell; both never throw.
    virtual void SetAuthenticationReaderInVolatileRegistry(const std::wstring& reader) = 0;
    virtual void ClearAuthenticationReaderInVolatileRegistry(const std::wstring& reader) = 0;

protected:
    ~SCardAuthExchangeHost() = default;
};
