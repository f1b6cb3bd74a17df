/* Heaps: zeroed blocks, sizes as asked, reallocation in place only, a
   fixed heap's limit, and the failures of blocks a heap never gave. */
#include "families.h"

enum { ZeroMemory = 8, InPlaceOnly = 0x10 };

int main(void) {
    HANDLE heap = GetProcessHeap();
    unsigned char* block = (unsigned char*)HeapAlloc(heap, ZeroMemory, 100);
    int i, zero = 1;
    CHECK(block != 0);
    for (i = 0; i < 100; ++i) zero &= block[i] == 0;
    CHECK(zero);
    CHECK_EQ(HeapSize(heap, 0, block), 100);
    block[99] = 7;
    block = (unsigned char*)HeapReAlloc(heap, ZeroMemory, block, 200);
    CHECK(block != 0 && block[99] == 7 && block[150] == 0);
    CHECK_EQ(HeapSize(heap, 0, block), 200);
    CHECK(HeapReAlloc(heap, InPlaceOnly, block, 400) == 0);
    CHECK(HeapReAlloc(heap, InPlaceOnly, block, 50) == block);
    CHECK_EQ(HeapSize(heap, 0, block), 50);
    CHECK(HeapFree(heap, 0, block));
    SetLastError(0);
    CHECK(!HeapFree(heap, 0, block));
    CHECK_EQ(GetLastError(), 87);
    CHECK(HeapFree(heap, 0, 0));
    CHECK(!HeapDestroy(heap));

    HANDLE fixed = HeapCreate(0, 0, 1000);
    CHECK(fixed != 0);
    void* most = HeapAlloc(fixed, 0, 900);
    CHECK(most != 0);
    CHECK(HeapAlloc(fixed, 0, 200) == 0);
    CHECK_EQ(GetLastError(), 8);
    CHECK(!HeapFree(heap, 0, most)); /* not the process heap's */
    CHECK(HeapFree(fixed, 0, most));
    CHECK(HeapAlloc(fixed, 0, 200) != 0);
    CHECK(HeapDestroy(fixed));
    return Finish("heaps");
}
