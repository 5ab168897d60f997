#include "Thread.h"

#include "Trace.h"
#include "Win32Error.h"

namespace tsmb {

Thread::Thread(DWORD stackSize) : m_stackSize(stackSize)
{
    Init(RefPtr<SecurityAttributes>(new SecurityAttributes(false)), stackSize);
}

void Thread::Init(const RefPtr<SecurityAttributes>& attributes, DWORD stackSize)
{
    m_handle = UniqueHandle(
        CreateThread(attributes->GetForCreation(), stackSize, &Thread::ThreadProc, this, CREATE_SUSPENDED, &m_threadId));
    if (!m_handle) {
        const DWORD code = GetLastError();
        Trace("%S%s:CreateThread: failed with last error: %ld", GetComponentPrefix(), "tsmb::Thread::Init", code);
        throw Win32Error(code);
    }
}

void Thread::ResumeOrThrow(const char* functionName)
{
    if (ResumeThread(m_handle.Get()) == static_cast<DWORD>(-1)) {
        const DWORD code = GetLastError();
        Trace("%S%s:ResumeThread: failed with last error: %ld", GetComponentPrefix(), functionName, code);
        throw Win32Error(code);
    }
}

void Thread::Start() { ResumeOrThrow("tsmb::Thread::Start"); }

void Thread::Resume() { ResumeOrThrow("tsmb::Thread::Resume"); }

void Thread::Suspend()
{
    if (SuspendThread(m_handle.Get()) == static_cast<DWORD>(-1)) {
        const DWORD code = GetLastError();
        Trace("%S%s:SuspendThread: failed with last error: %ld", GetComponentPrefix(), "tsmb::Thread::Suspend", code);
        throw Win32Error(code);
    }
}

DWORD WINAPI Thread::ThreadProc(LPVOID parameter)
{
    // The owner keeps the object alive until the thread has ended; no reference is taken here.
    auto* thread = static_cast<Thread*>(parameter);
    try {
        thread->Execute();
    } catch (const Win32Error& e) {
        Trace("%S%s:Execute: failed with exception: %s", GetComponentPrefix(), "tsmb::Thread::ThreadProc", e.what());
    } catch (const std::exception& e) {
        Trace("%S%s:Execute: failed with exception: %s", GetComponentPrefix(), "tsmb::Thread::ThreadProc", e.what());
    }
    return 0;
}

}  // namespace tsmb
