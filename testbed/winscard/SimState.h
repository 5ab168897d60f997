#pragma once
// Layout of the simulated smart-card service's state, shared by every process that loads the
// simulator through a named, file-backed section (so it outlives each scardsim.exe run).
#include <windows.h>

namespace scardsim {

constexpr DWORD kMaxReaders = 16;
constexpr DWORD kMaxCardTypes = 16;
constexpr DWORD kMaxWaiters = 64;
constexpr DWORD kMaxFailures = 16;
constexpr DWORD kNameChars = 128;
constexpr DWORD kMaxAtr = 36;
constexpr DWORD kStateMagic = 0x53494D36;  // bumps when the layout changes
constexpr DWORD kMaxPin = 64;
constexpr DWORD kMaxCertificate = 4096;

struct Reader {
    wchar_t name[kNameChars];
    DWORD attached;
    DWORD attachOrder;      // readers are listed in attach order
    DWORD present;          // a card is in the reader
    DWORD eventCount;       // insertions and removals, reported in the high 16 bits
    BYTE atr[kMaxAtr];
    DWORD atrLength;
    // The card's key container: its PIN (masked, so that no process holds it in plain),
    // the tries left before it blocks, and the certificate of its exchange key.
    BYTE pinMasked[kMaxPin];
    DWORD pinLength;
    DWORD triesLeft;
    DWORD triesMax;
    DWORD certificateLength;  // 0: a container without a certificate
    BYTE certificate[kMaxCertificate];
};

struct CardType {
    BYTE atr[kMaxAtr];
    DWORD atrLength;
    wchar_t name[kNameChars];
    wchar_t csp[kNameChars];
};

struct Waiter {
    DWORD processId;   // 0: free
    DWORD threadId;
    DWORD changeSeen;  // the change count when it last went to sleep
};

struct Failure {
    char operation[48];  // export name; empty: free
    LONG code;
    DWORD processId;     // the only process (0: any) ...
    DWORD threadId;      // ... and thread (0: any) whose calls fail
    DWORD remaining;     // calls still to fail; INFINITE: until ended
    DWORD failed;        // calls failed so far
};

struct State {
    DWORD magic;
    DWORD serviceRunning;
    DWORD serviceEpoch;  // contexts from an earlier run of the service are dead
    DWORD nextAttachOrder;
    DWORD changeCount;  // every change of a reader, a card or the service
    Reader readers[kMaxReaders];
    CardType cardTypes[kMaxCardTypes];
    Waiter waiters[kMaxWaiters];
    Failure failures[kMaxFailures];
};

}  // namespace scardsim
