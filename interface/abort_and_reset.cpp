#include "execution/request_queue.h"
#include "interface/dispatch.h"

void AnswerAbort(SRB_Abort* srb) {
    void* toAbort = srb->SRB_ToAbort;
    srb->SRB_Status = AbortSrb(&toAbort) == 0 ? SS_COMP : SS_INVALID_SRB;
}

void AnswerReset(SRB_BusDeviceReset* srb) {
    // No device is touched: the request completes at once, on this thread.
    PostCompletion(srb, SS_COMP);
}
