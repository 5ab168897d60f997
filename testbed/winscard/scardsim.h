#pragma once
// Control exports of the simulated smart-card service, for tests and scardsim.exe.
// Every function returns 0 on success or an SCard / Win32 code.
#include <windows.h>

#ifdef SCARDSIM_BUILD
#define SCARDSIM_API extern "C" __declspec(dllexport)
#else
#define SCARDSIM_API extern "C" __declspec(dllimport)
#endif

SCARDSIM_API LONG WINAPI SimReset(void);
SCARDSIM_API LONG WINAPI SimAttachReader(LPCWSTR reader);
SCARDSIM_API LONG WINAPI SimDetachReader(LPCWSTR reader);
// atr may be null (a default ATR); card and csp may be null (default names).
SCARDSIM_API LONG WINAPI SimInsertCard(LPCWSTR reader, const BYTE* atr, DWORD atrLength, LPCWSTR card, LPCWSTR csp);
SCARDSIM_API LONG WINAPI SimRemoveCard(LPCWSTR reader);
// The key container of the card in the reader: its PIN (ANSI, up to 63 bytes), how many wrong
// PINs block it, and the DER certificate of its exchange key (nullptr / 0: none). A card
// inserted without this has the PIN "1234", 3 tries and no certificate.
SCARDSIM_API LONG WINAPI SimSetCardKey(LPCWSTR reader, LPCSTR pin, DWORD tries, const BYTE* certificate,
                                       DWORD certificateLength);
// What the card's key provider does with a PIN: SCARD_S_SUCCESS (tries restored),
// SCARD_W_WRONG_CHV (one try less), SCARD_W_CHV_BLOCKED; SCARD_E_NO_SMARTCARD without a card.
SCARDSIM_API LONG WINAPI SimVerifyCardPin(LPCWSTR reader, const char* pin, DWORD pinLength);
// The certificate of the card's exchange key; *length 0 when the container has none.
SCARDSIM_API LONG WINAPI SimGetCardCertificate(LPCWSTR reader, BYTE* certificate, DWORD* length);
SCARDSIM_API LONG WINAPI SimGetCardTriesLeft(LPCWSTR reader, DWORD* tries);
SCARDSIM_API LONG WINAPI SimStopService(void);
SCARDSIM_API LONG WINAPI SimStartService(void);
// The next call of the named export, in any process, returns code.
SCARDSIM_API LONG WINAPI SimFailNext(LPCSTR operation, LONG code);
// The next `times` calls of the named export made by that process (0: any) on that thread
// (0: any) return code; INFINITE: every such call until SimEndFailures. With several monitors
// watching, a failure aimed at one of them is the only way to know which one meets it.
SCARDSIM_API LONG WINAPI SimFailCalls(LPCSTR operation, LONG code, DWORD processId, DWORD threadId, DWORD times);
// How many calls the failures still armed for that export, with exactly that aim, have failed.
SCARDSIM_API LONG WINAPI SimCountFailedCalls(LPCSTR operation, DWORD processId, DWORD threadId);
// Disarms the failures of that export with exactly that aim.
SCARDSIM_API LONG WINAPI SimEndFailures(LPCSTR operation, DWORD processId, DWORD threadId);
// Readers in attach order: index 0, 1, ... until SCARD_E_NO_READERS_AVAILABLE.
SCARDSIM_API LONG WINAPI SimGetReader(DWORD index, LPWSTR name, DWORD nameChars, DWORD* state, BYTE* atr, DWORD* atrLength);
SCARDSIM_API LONG WINAPI SimIsServiceRunning(void);
// Status-change waits now blocked, in every process.
SCARDSIM_API LONG WINAPI SimCountPendingWaits(void);
// Status-change waits that went to sleep after the latest change: the watchers have taken it in.
SCARDSIM_API LONG WINAPI SimCountQuietWaits(void);
// The status-change waits now blocked: each one's process and thread, and whether it went to
// sleep after the latest change. *count: the room in the arrays, then how many there are
// (SCARD_E_INSUFFICIENT_BUFFER when they do not fit).
SCARDSIM_API LONG WINAPI SimGetWaits(DWORD* processIds, DWORD* threadIds, BOOL* quiet, DWORD* count);
// Service operations (SCard exports) this process has called so far. Each takes the
// milliseconds SCARDSIM_DELAY_MS names in the calling process (read at every call; none unset).
SCARDSIM_API LONG WINAPI SimCountServiceCalls(void);
// What this process holds: open contexts, blocks handed out and not freed, started-event handles.
SCARDSIM_API LONG WINAPI SimGetOutstanding(LONG* contexts, LONG* blocks, LONG* startedEvents);
