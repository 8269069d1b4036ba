#include "time/lock_order.h"

#ifdef LUMOX_LOCK_CHECKS

#include "shell/fatal.h"

namespace {

const char *const rank_names[] = {"", "demo time", "SDL audio", "sound", "video", "encoder queue"};

// One bit per rank. A word, not a bool: valgrind's 32-bit front end rejects
// one-byte thread-local reads.
thread_local unsigned held_ranks = 0;

} // namespace

void lock_taking(LockRank rank) {
    const unsigned bit = 1u << static_cast<unsigned>(rank);
    const unsigned later = held_ranks & ~((bit << 1) - 1);
    if (later != 0) {
        unsigned worst = 31;
        while ((later & (1u << worst)) == 0) {
            worst--;
        }
        fatal("lock order: %s taken while holding %s", rank_names[static_cast<unsigned>(rank)],
              rank_names[worst]);
    }
    held_ranks |= bit;
}

void lock_released(LockRank rank) {
    held_ranks &= ~(1u << static_cast<unsigned>(rank));
}

#endif
