#pragma once
// Worker-thread base: the operating-system thread exists, suspended, from construction on;
// Start lets it run Execute once. The owner stops the thread and waits for it before the
// last reference goes: destruction only closes the handle.
#include "RefCount.h"
#include "SecurityAttributes.h"
#include "UniqueHandle.h"

namespace tsmb {

class Thread : public Object {
public:
    explicit Thread(DWORD stackSize = 0);

    virtual void Start();
    virtual void Suspend();
    virtual void Resume();
    virtual void Execute() = 0;

    HANDLE GetHandle() const { return m_handle.Get(); }
    DWORD GetThreadId() const { return m_threadId; }

    static DWORD WINAPI ThreadProc(LPVOID parameter);

private:
    void Init(const RefPtr<SecurityAttributes>& attributes, DWORD stackSize);
    void ResumeOrThrow(const char* functionName);

    UniqueHandle m_handle;
    DWORD m_stackSize = 0;
    DWORD m_threadId = 0;
};

}  // namespace tsmb
