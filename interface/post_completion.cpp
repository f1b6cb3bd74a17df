#include "interface/srb.h"

namespace {

// The posting fields, taken while the block still belongs to the library.
struct PostingRequest {
    BYTE Flags;
    LPVOID PostProc;
};

}  // namespace

void PostCompletion(void* srb, BYTE finalStatus) {
    SRB_ExecSCSICmd* block = static_cast<SRB_ExecSCSICmd*>(srb);
    PostingRequest request;
    request.Flags = block->SRB_Flags;
    request.PostProc = block->SRB_PostProc;

    // One untorn byte store, with release order so that a poller who sees
    // the final status also sees every output field stored before it.
    __atomic_store_n(&block->SRB_Status, finalStatus, __ATOMIC_RELEASE);

    if (request.Flags & SRB_EVENT_NOTIFY) {
        SetEvent(static_cast<HANDLE>(request.PostProc));
        return;
    }
    if (request.Flags & SRB_POSTING) {
        ASPI_POST_ROUTINE routine = reinterpret_cast<ASPI_POST_ROUTINE>(request.PostProc);
        if (routine != nullptr) {
            routine(srb);
        }
    }
}
