// Thread environment blocks behind %fs, set up as Wine does on i386: an
// LDT entry per thread (modify_ldt), its base the thread's block. A block
// lives as long as its thread; at the thread's end %fs is cleared before
// the entry is freed for another thread.
#include "sim/kernel/teb.h"

#include "sim/kernel/threads.h"

#include <asm/ldt.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace sim {
namespace {

// NT's block is just under a page; the second page holds the expansion
// slots of TlsGetValue.
const size_t BlockSize = 2 * 4096;
static_assert(TebTlsExpansionArea + 4 * TebTlsExpansionSlotCount <= BlockSize, "slots fit");
const unsigned FirstEntry = 1;      // entry 0 is left alone
const unsigned EntryCount = 8192;   // the LDT's size on i386

struct LdtState {
    std::mutex Lock;
    std::vector<bool> Used = std::vector<bool>(EntryCount, false);
    std::vector<unsigned char*> Blocks;  // every live thread's block
};

// Returns the LDT bookkeeping, created once and never destroyed.
LdtState& Ldt() {
    static LdtState* state = new LdtState;
    return *state;
}

// The process environment block that every thread's block points to. The
// simulator fills none of its fields: code that reads them finds zeros.
alignas(4096) unsigned char processBlock[4096];

// Returns 0 when the LDT entry now describes `size` bytes at `base`
// (a null base and size empty it).
int WriteLdtEntry(unsigned entry, void* base, size_t size) {
    struct user_desc descriptor;
    std::memset(&descriptor, 0, sizeof descriptor);
    descriptor.entry_number = entry;
    descriptor.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(base));
    descriptor.limit = size == 0 ? 0 : static_cast<unsigned>(size - 1);
    descriptor.seg_32bit = 1;
    descriptor.read_exec_only = base == nullptr ? 1 : 0;
    descriptor.seg_not_present = base == nullptr ? 1 : 0;
    descriptor.useable = 1;
    return static_cast<int>(syscall(SYS_modify_ldt, 1, &descriptor, sizeof descriptor));
}

// Returns the selector of an LDT entry at privilege level 3.
unsigned short SelectorOf(unsigned entry) { return static_cast<unsigned short>((entry << 3) | 7); }

// Returns nothing; loads %fs.
void LoadFs(unsigned short selector) { __asm__ volatile("movw %w0, %%fs" : : "q"(selector)); }

// Returns nothing; puts a 32-bit value at an offset of the block.
void Put(unsigned char* block, size_t offset, uintptr_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    std::memcpy(block + offset, &word, sizeof word);
}

// Returns nothing; fills the stack fields from the thread's real stack.
void FillStack(unsigned char* block) {
    pthread_attr_t attributes;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
    }
    Put(block, TebStackBase, reinterpret_cast<uintptr_t>(low) + size);
    Put(block, TebStackLimit, reinterpret_cast<uintptr_t>(low));
}

// One thread's block and LDT entry; released when the thread ends.
struct ThreadBlock {
    unsigned char* Block = nullptr;
    unsigned Entry = 0;

    ~ThreadBlock() {
        if (Block == nullptr) return;
        LoadFs(0);
        LdtState& ldt = Ldt();
        std::lock_guard<std::mutex> guard(ldt.Lock);
        WriteLdtEntry(Entry, nullptr, 0);
        ldt.Used[Entry] = false;
        ldt.Blocks.erase(std::find(ldt.Blocks.begin(), ldt.Blocks.end(), Block));
        munmap(Block, BlockSize);
    }
};

thread_local ThreadBlock threadBlock;

// Returns the block made for the calling thread, or null.
unsigned char* MakeBlock() {
    void* mapped =
        mmap(nullptr, BlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    unsigned char* block = static_cast<unsigned char*>(mapped);
    Put(block, TebExceptionList, 0xFFFFFFFFu);
    FillStack(block);
    Put(block, TebSelf, reinterpret_cast<uintptr_t>(block));
    Put(block, TebProcessId, static_cast<uintptr_t>(getpid()));
    Put(block, TebThreadId, CurrentThreadKey());
    Put(block, TebProcessBlock, reinterpret_cast<uintptr_t>(processBlock));
    // NT makes the expansion slots at a thread's first use of one; they are
    // made with the block here, where nothing can fail later.
    Put(block, TebTlsExpansionSlots, reinterpret_cast<uintptr_t>(block + TebTlsExpansionArea));
    LdtState& ldt = Ldt();
    std::lock_guard<std::mutex> guard(ldt.Lock);
    unsigned entry = FirstEntry;
    while (entry < EntryCount && ldt.Used[entry]) ++entry;
    if (entry == EntryCount || WriteLdtEntry(entry, block, BlockSize) != 0) {
        munmap(block, BlockSize);
        return nullptr;
    }
    ldt.Used[entry] = true;
    ldt.Blocks.push_back(block);
    threadBlock.Block = block;
    threadBlock.Entry = entry;
    LoadFs(SelectorOf(entry));
    return block;
}

}  // namespace

unsigned char* CurrentThreadEnvironment() {
    if (threadBlock.Block != nullptr) return threadBlock.Block;
    // The block holds the thread's id, and the first ask for the id makes
    // the thread's record, which makes its block: so the id comes first,
    // and a block made meanwhile is the thread's one block.
    CurrentThreadKey();
    if (threadBlock.Block != nullptr) return threadBlock.Block;
    return MakeBlock();
}

size_t ThreadEnvironmentCount() {
    std::lock_guard<std::mutex> guard(Ldt().Lock);
    return Ldt().Blocks.size();
}

size_t ThreadEnvironmentCount(DWORD threadId) {
    std::lock_guard<std::mutex> guard(Ldt().Lock);
    size_t count = 0;
    for (unsigned char* block : Ldt().Blocks) {
        uint32_t id;
        std::memcpy(&id, block + TebThreadId, sizeof id);
        count += id == threadId;
    }
    return count;
}

void ClearInEveryThread(size_t offset) {
    std::lock_guard<std::mutex> guard(Ldt().Lock);
    for (unsigned char* block : Ldt().Blocks) std::memset(block + offset, 0, sizeof(uint32_t));
}

}  // namespace sim
