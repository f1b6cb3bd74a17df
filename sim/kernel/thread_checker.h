// Tells valgrind's thread checkers (DRD, Helgrind) about the dispatcher's
// own synchronisation, which they cannot see: a waiter is released by a
// store to its futex word, not by a lock or condition they know. Outside
// valgrind each of these is a few instructions that do nothing.
#ifndef PTASPI_SIM_THREAD_CHECKER_H
#define PTASPI_SIM_THREAD_CHECKER_H

#if __has_include(<valgrind/drd.h>)
#include <valgrind/drd.h>
// Returns nothing: what the caller did before happens before what a
// thread does after NoteReleased(address) with the same address.
#define PTASPI_NOTE_RELEASING(address) ANNOTATE_HAPPENS_BEFORE(address)
// Returns nothing: see PTASPI_NOTE_RELEASING.
#define PTASPI_NOTE_RELEASED(address) ANNOTATE_HAPPENS_AFTER(address)
// Returns nothing: the checker leaves alone a variable that is read and
// written without a lock on purpose (an atomic futex word).
#define PTASPI_NOTE_UNLOCKED_WORD(address) \
    ANNOTATE_BENIGN_RACE_SIZED(address, sizeof *(address), "futex word")
#else
#define PTASPI_NOTE_RELEASING(address) ((void)(address))
#define PTASPI_NOTE_RELEASED(address) ((void)(address))
#define PTASPI_NOTE_UNLOCKED_WORD(address) ((void)(address))
#endif

#endif
