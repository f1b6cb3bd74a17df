// The Interlocked functions kernel32 exports on x86 (compilers inline
// them elsewhere): each a full barrier, as NT's lock-prefixed instructions.
#include "sim/kernel/win32_families.h"

// Returns the incremented value.
extern "C" LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

// Returns the decremented value.
extern "C" LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

// Returns the value before it was replaced.
extern "C" LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

// Returns the value before the addition.
extern "C" LONG WINAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

// Returns the value before; it is replaced only when it equalled Comperand.
extern "C" LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                  LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}

// As InterlockedCompareExchange, on 64 bits (cmpxchg8b).
extern "C" int64_t WINAPI InterlockedCompareExchange64(int64_t volatile* Destination,
                                                       int64_t Exchange, int64_t Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
