// The receiver seen and stopped through its named objects.
#include "control/receiver_control.h"

#include "protocol/names.h"

int ReceiverRunning(DWORD* error) {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, PELMOR_MUTEX_NAME);
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return 1;
    }
    *error = GetLastError();
    return *error == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

int ReceiverEventState(const char* name) {
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (event == nullptr) {
        return -1;
    }
    int signalled = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    CloseHandle(event);
    return signalled;
}

HANDLE ReceiverStopEventOpen(void) {
    return CreateEventA(nullptr, TRUE, FALSE, PELMOR_STOP_EVENT_NAME);
}

void ReceiverStopAsk(HANDLE stop) {
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
        ResetEvent(stop);
    }
}
