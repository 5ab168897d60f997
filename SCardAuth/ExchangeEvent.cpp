#include "ExchangeEvent.h"

#include <winscard.h>

ExchangeEvent ExchangeEventFor(ULONG status)
{
    switch (status) {
    case 0:
        return {false, SCardAuthEventUnknownFailure, nullptr};
    case static_cast<ULONG>(SEC_E_SMARTCARD_CERT_EXPIRED):
        return {true, SCardAuthEventDefaultCertOnCardExpired, "SCardAuthEventDefaultCertOnCardExpired"};
    case static_cast<ULONG>(SEC_E_SMARTCARD_CERT_REVOKED):
        return {true, SCardAuthEventDefaultCertOnCardRevoked, "SCardAuthEventDefaultCertOnCardRevoked"};
    case static_cast<ULONG>(SCARD_W_WRONG_CHV):
        return {true, SCardAuthEventInvalidPIN, "SCardAuthEventInvalidPIN"};
    case static_cast<ULONG>(SCARD_W_CHV_BLOCKED):
        return {true, SCardAuthEventSmartCardBlocked, "SCardAuthEventSmartCardBlocked"};
    default:
        return {true, SCardAuthEventUnknownFailure, "SCardAuthEventUnknownFailure"};
    }
}
