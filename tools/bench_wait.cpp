// bench_wait.exe: what one WaitForWaitObjects call costs for 8, 64, 500 and
// 2000 objects, and the CPU that 2000 idle objects use in 10 s. Prints
// figures; asserts nothing.
//   at once:  the last object is a signalled manual-reset event, so every
//             call returns at once (the worst case: every batch is polled).
//   waiting:  a second thread sets the last (auto-reset) event 2 ms after the
//             call began waiting; wake-up is the time from SetEvent to the
//             return, CPU the process CPU time of all threads per call.
#include <windows.h>
#include <stdio.h>

#include <memory>
#include <vector>

#include "common/handle.h"
#include "common/win32.h"

namespace {

double Seconds(LONGLONG llTicks)
{
    static LARGE_INTEGER s_liFrequency;
    if (s_liFrequency.QuadPart == 0)
        ::QueryPerformanceFrequency(&s_liFrequency);
    return (double)llTicks / (double)s_liFrequency.QuadPart;
}

LONGLONG Now()
{
    LARGE_INTEGER li;
    ::QueryPerformanceCounter(&li);
    return li.QuadPart;
}

// User plus kernel time of the whole process, in seconds.
double ProcessCpu()
{
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    ::GetProcessTimes(::GetCurrentProcess(), &ftCreation, &ftExit, &ftKernel, &ftUser);
    ULARGE_INTEGER uliKernel = {{ftKernel.dwLowDateTime, ftKernel.dwHighDateTime}};
    ULARGE_INTEGER uliUser = {{ftUser.dwLowDateTime, ftUser.dwHighDateTime}};
    return (double)(uliKernel.QuadPart + uliUser.QuadPart) / 1e7;
}

struct CSignaller
{
    CHandle m_hGo;
    HANDLE m_hTarget;   // borrowed from an event of the measured array
    volatile LONGLONG m_llSetAt;
    volatile BOOL m_fQuit;
};

DWORD WINAPI SignallerRoutine(void* pv)
{
    CSignaller* p = static_cast<CSignaller*>(pv);
    for (;;) {
        ::WaitForSingleObject(p->m_hGo.Get(), INFINITE);
        if (p->m_fQuit)
            return 0;
        ::Sleep(2);
        p->m_llSetAt = Now();
        ::SetEvent(p->m_hTarget);
    }
}

void Measure(size_t cObjects)
{
    std::vector<std::unique_ptr<CKernelEvent>> aEvents;
    CWaitObjectArray apwo;
    for (size_t i = 0; i < cObjects; i++) {
        aEvents.emplace_back(new CKernelEvent(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED));
        apwo.push_back(aEvents.back().get());
    }

    // At once.
    CKernelEvent evLast(EVENT_MANUAL_RESET | EVENT_INITIALLY_SIGNALLED);
    CWaitObject* pwoSaved = apwo.back();
    apwo.back() = &evLast;
    const int cAtOnce = cObjects <= 64 ? 20000 : 2000;
    WaitForWaitObjects(FALSE, apwo, 0);
    LONGLONG llStart = Now();
    for (int i = 0; i < cAtOnce; i++)
        WaitForWaitObjects(FALSE, apwo, INFINITE);
    const double dAtOnce = Seconds(Now() - llStart) / cAtOnce;
    apwo.back() = pwoSaved;

    // Waiting.
    CSignaller signaller;
    signaller.m_hGo.Reset(::CreateEventA(NULL, FALSE, FALSE, NULL));
    signaller.m_hTarget = aEvents.back()->m_hHandle;
    signaller.m_fQuit = FALSE;
    CHandle hThread(::CreateThread(NULL, 0, SignallerRoutine, &signaller, 0, NULL));
    const int cWaiting = 200;
    double dWake = 0;
    int cWrong = 0;
    const double dCpuStart = ProcessCpu();
    for (int i = 0; i < cWaiting; i++) {
        ::SetEvent(signaller.m_hGo.Get());
        CWaitObject* pw = WaitForWaitObjects(FALSE, apwo, 10000);
        const LONGLONG llReturned = Now();
        if (pw != aEvents.back().get())
            cWrong++;
        dWake += Seconds(llReturned - signaller.m_llSetAt);
    }
    const double dCpu = (ProcessCpu() - dCpuStart) / cWaiting;
    signaller.m_fQuit = TRUE;
    ::SetEvent(signaller.m_hGo.Get());
    ::WaitForSingleObject(hThread.Get(), INFINITE);
    printf("%7u  %14.1f  %14.1f  %14.1f%s\n", (unsigned)cObjects, dAtOnce * 1e6, dWake / cWaiting * 1e6,
           dCpu * 1e6, cWrong ? "  (WRONG OBJECT RETURNED)" : "");
}

void MeasureIdle(size_t cObjects, DWORD dwMilliseconds)
{
    std::vector<std::unique_ptr<CKernelEvent>> aEvents;
    CWaitObjectArray apwo;
    for (size_t i = 0; i < cObjects; i++) {
        aEvents.emplace_back(new CKernelEvent(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED));
        apwo.push_back(aEvents.back().get());
    }
    const double dCpuStart = ProcessCpu();
    const LONGLONG llStart = Now();
    CWaitObject* pw = WaitForWaitObjects(FALSE, apwo, dwMilliseconds);
    const double dElapsed = Seconds(Now() - llStart);
    const double dCpu = ProcessCpu() - dCpuStart;
    printf("%u objects idle for %.2f s (%s): CPU used %.1f ms in all threads\n", (unsigned)cObjects, dElapsed,
           pw == NULL ? "timed out" : "WRONG: returned an object", dCpu * 1e3);
}

}  // namespace

int main()
{
    printf("WaitForWaitObjects, microseconds per call\n");
    printf("objects  at once (wall)  waiting: wake-up  waiting: CPU\n");
    const size_t acObjects[] = {8, 64, 500, 2000};
    for (size_t c : acObjects)
        Measure(c);
    MeasureIdle(2000, 10000);
    return 0;
}
