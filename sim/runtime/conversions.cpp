// The Windows runtime's number conversions (strto*, ato*) and its sorting
// and searching, in the "C" locale. long is 32 bits, as on Windows, and a
// value out of range gives the limit with errno ERANGE.
#include "sim/runtime/family_entries.h"
#include "sim/runtime/errno_values.h"

#include <cerrno>
#include <cstdlib>

namespace {

// Returns `value` after a host conversion: errno ERANGE becomes the
// program's.
template <class T>
T Converted(T value) {
    if (errno == ERANGE) sim::SetProgramErrno(sim::WindowsERANGE);
    return value;
}

// Returns true when `base` is one strto* accepts: 0 or 2 to 36. Another
// base converts nothing, with errno EINVAL.
bool ValidBase(const char* text, char** end, int base) {
    if (base == 0 || (base >= 2 && base <= 36)) return true;
    if (end != nullptr) *end = const_cast<char*>(text);
    sim::SetProgramErrno(sim::WindowsEINVAL);
    return false;
}

}  // namespace

// Each returns the number that begins `text` (after white space, with an
// optional sign; base 0 takes "0x" as hex and "0" as octal), with *end at
// the first byte not used (`text` when no number was found).
RUNTIME_ENTRY long rt_strtol(const char* text, char** end, int base) {
    if (!ValidBase(text, end, base)) return 0;
    errno = 0;
    return Converted(std::strtol(text, end, base));
}
RUNTIME_ENTRY unsigned long rt_strtoul(const char* text, char** end, int base) {
    if (!ValidBase(text, end, base)) return 0;
    errno = 0;
    return Converted(std::strtoul(text, end, base));
}
RUNTIME_ENTRY int64_t rt_strtoi64(const char* text, char** end, int base) {
    if (!ValidBase(text, end, base)) return 0;
    errno = 0;
    return Converted<int64_t>(std::strtoll(text, end, base));
}
RUNTIME_ENTRY uint64_t rt_strtoui64(const char* text, char** end, int base) {
    if (!ValidBase(text, end, base)) return 0;
    errno = 0;
    return Converted<uint64_t>(std::strtoull(text, end, base));
}
RUNTIME_ENTRY double rt_strtod(const char* text, char** end) {
    errno = 0;
    return Converted(std::strtod(text, end));
}
// Each returns the number that begins `text`, 0 when none does.
RUNTIME_ENTRY long rt_atol(const char* text) { return std::strtol(text, nullptr, 10); }
RUNTIME_ENTRY int64_t rt_atoi64(const char* text) { return std::strtoll(text, nullptr, 10); }
RUNTIME_ENTRY double rt_atof(const char* text) { return std::strtod(text, nullptr); }
// Each returns the magnitude of `value` (INT_MIN and LONG_MIN unchanged).
RUNTIME_ENTRY int rt_abs(int value) {
    return value < 0 ? static_cast<int>(0u - static_cast<unsigned>(value)) : value;
}
RUNTIME_ENTRY long rt_labs(long value) {
    return value < 0 ? static_cast<long>(0ul - static_cast<unsigned long>(value)) : value;
}

namespace {

// Returns nothing; swaps two elements of `size` bytes.
void Swap(char* a, char* b, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char kept = a[i];
        a[i] = b[i];
        b[i] = kept;
    }
}

}  // namespace

// Returns nothing once the `count` elements are in the order `compare`
// gives (not a stable sort, as msvcrt's is not). The comparison is the
// program's own cdecl function; a heap sort keeps the calls O(n log n).
RUNTIME_ENTRY void rt_qsort(void* base, size_t count, size_t size, RuntimeCompare compare) {
    if (count < 2 || size == 0) return;
    char* bytes = static_cast<char*>(base);
    auto at = [&](size_t i) { return bytes + i * size; };
    auto sift = [&](size_t root, size_t limit) {
        for (;;) {
            size_t child = 2 * root + 1;
            if (child >= limit) return;
            if (child + 1 < limit && compare(at(child), at(child + 1)) < 0) ++child;
            if (compare(at(root), at(child)) >= 0) return;
            Swap(at(root), at(child), size);
            root = child;
        }
    };
    for (size_t i = count / 2; i-- > 0;) sift(i, count);
    for (size_t last = count - 1; last > 0; --last) {
        Swap(at(0), at(last), size);
        sift(0, last);
    }
}

// Returns an element of the sorted array that `compare` finds equal to
// `key`, or null.
RUNTIME_ENTRY void* rt_bsearch(const void* key, const void* base, size_t count, size_t size,
                               RuntimeCompare compare) {
    const char* bytes = static_cast<const char*>(base);
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const int order = compare(key, bytes + middle * size);
        if (order == 0) return const_cast<char*>(bytes + middle * size);
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return nullptr;
}
