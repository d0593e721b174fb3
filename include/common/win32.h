// Win32 kernel objects as wait objects, and the wait multiplexer.
//
// CWaitObject: anything a thread waits on. It names the kernel handle that
// stands for it (m_phWaitHandle points at the derived object's handle
// member) or borrows another wait object's handle through m_pwoDelegate,
// never closing a borrowed handle. m_fEnabled switches it out of
// multiplexed waits. OnSignalled runs on the waiting thread when the handle
// was found signalled; the default forwards to the delegate. Wait objects
// carry no lock: their owner serialises access, other threads typically only
// Set an event that a waiting thread has in its array.
//
// CSecurityAttributes: the SECURITY_ATTRIBUTES passed to the creating Win32
// call (default security, not inheritable), optionally with a null DACL.
//
// CKernelEvent: an owned Win32 event.
//
// WaitForWaitObjects: waits on the enabled objects of an array (usually
// collected from a chain), dispatches OnSignalled and returns the object.
//
// Threads (CSimpleThread, CThread) and the child-process wrapper
// (CChildProcess) are declared in thread.h and childproc.h, included below.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "common/chain.h"

class CWaitObject;

// Win32 calls answer a missing handle with NULL or INVALID_HANDLE_VALUE,
// depending on the call; either means there is nothing to use or close.
inline BOOL IsValidHandle(HANDLE hHandle)
{
    return hHandle != NULL && hHandle != INVALID_HANDLE_VALUE;
}

// A pointer array of wait objects; it does not own what it points to.
typedef std::vector<CWaitObject*> CWaitObjectArray;

class CWaitObject : public CChainable
{
public:
    CWaitObject() : m_pwoDelegate(NULL), m_phWaitHandle(NULL), m_fEnabled(TRUE) {}
    virtual ~CWaitObject();

    // Default: forwards to the delegate, if any. Overrides call this first.
    virtual void OnSignalled();

    // The handle at the end of the delegate links (null when none).
    HANDLE GetWaitHandle() const;
    // The resolved handle is neither null nor INVALID_HANDLE_VALUE.
    BOOL HasValidWaitHandle() const;
    // WaitForSingleObject on the resolved handle; TRUE (after OnSignalled)
    // when it was signalled, FALSE on time-out or failure. Time-out 0 polls.
    BOOL Wait(DWORD dwTimeout);

    // Collects the chain this object belongs to as wait objects; every
    // element of the chain must be a wait object (others are reported and
    // left out).
    using CChainable::CollectChain;
    void CollectChain(CWaitObjectArray& apWaitObjects);

    CWaitObject* m_pwoDelegate;
    HANDLE* m_phWaitHandle;
    BOOL m_fEnabled;
};

// Waits on the enabled objects of apWaitObjects, in array order. Without
// fWaitAll: the earliest signalled object in array order is dispatched
// (OnSignalled) and returned; only its signal is consumed. With fWaitAll:
// when all are signalled, every OnSignalled runs in array order and the
// first enabled object is returned. Null: time-out or failed wait (logged).
// Any number of enabled objects is accepted; up to MAXIMUM_WAIT_OBJECTS the
// call is one WaitForMultipleObjects and allocates nothing.
CWaitObject* WaitForWaitObjects(BOOL fWaitAll, const CWaitObjectArray& apWaitObjects, DWORD dwTimeout);

class CSecurityAttributes
{
public:
    CSecurityAttributes();
    virtual ~CSecurityAttributes();

    // Grants every account access to objects created with these attributes.
    void SetNullDacl();
    // Grants access only to the local Administrators, SYSTEM and the
    // process's own account; FALSE (last error set) leaves no descriptor.
    BOOL SetPrivateDacl();
    LPSECURITY_ATTRIBUTES GetSecurityAttributes() { return &m_sa; }

    SECURITY_ATTRIBUTES m_sa;
    PSECURITY_DESCRIPTOR m_psd;   // owned; null unless a Set...Dacl was called

private:
    CSecurityAttributes(const CSecurityAttributes&) = delete;
    CSecurityAttributes& operator=(const CSecurityAttributes&) = delete;
};

// Event creation flags: exactly one of each pair.
enum {
    EVENT_INITIALLY_SIGNALLED = 0x1,
    EVENT_INITIALLY_NONSIGNALLED = 0x2,
    EVENT_MANUAL_RESET = 0x4,
    EVENT_AUTO_RESET = 0x8
};

// An owned Win32 event. Created by its owner (or by the flag constructor),
// Set from any thread, waited on through the wait object interface.
class CKernelEvent : public CWaitObject, public CSecurityAttributes
{
public:
    CKernelEvent();
    // Creates an unnamed event with those flags at once.
    explicit CKernelEvent(DWORD dwFlags);
    virtual ~CKernelEvent();

    // Creates (or, named, opens) the event. FALSE only for a named event
    // that could not be created; the last error says why.
    BOOL Create(DWORD dwFlags, const char* pchName = NULL);
    BOOL Set();
    BOOL Reset();
    void Close();

    HANDLE m_hHandle;
};

#include "common/childproc.h"
#include "common/thread.h"
