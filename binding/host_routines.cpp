// Addresses of the host routines that the redirect lists name. The guest's
// file routines go to thin wrappers around the C library's: the library makes
// no promise to leave its parameter slots alone or to run on a stack aligned
// to 4 bytes only, and the adapters rely on both.
#include <cstdio>
#include <iterator>

#include "binding/catalogue.h"
#include "machine/display.h"
#include "machine/events.h"
#include "machine/runtime.h"
#include "shell/fatal.h"
#include "sound/sound.h"
#include "sound/timer.h"

namespace {

struct HostRoutineEntry {
    HostRoutine routine;
    void *address;
};

// In the order of HostRoutine, from its first routine on; each row names its
// routine, so that a row out of place is refused rather than used.
const HostRoutineEntry host_routines[] = {
    {HostRoutine::dma_buffer_position, reinterpret_cast<void *>(&dma_buffer_position)},
    {HostRoutine::dma_stop, reinterpret_cast<void *>(&dma_stop)},
    {HostRoutine::dma_play_buffer, reinterpret_cast<void *>(&dma_play_buffer)},
    {HostRoutine::dma_free_buffer, reinterpret_cast<void *>(&dma_free_buffer)},
    {HostRoutine::dma_alloc_buffer, reinterpret_cast<void *>(&dma_alloc_buffer)},
    {HostRoutine::console_puts, reinterpret_cast<void *>(&console_puts)},
    {HostRoutine::report_zero, reinterpret_cast<void *>(&report_zero)},
    {HostRoutine::console_putc, reinterpret_cast<void *>(&console_putc)},
    {HostRoutine::timer_set_rate, reinterpret_cast<void *>(&timer_set_rate)},
    {HostRoutine::timer_set_callbacks, reinterpret_cast<void *>(&timer_set_callbacks)},
    {HostRoutine::timer_stop_player, reinterpret_cast<void *>(&timer_stop_player)},
    {HostRoutine::timer_play_player, reinterpret_cast<void *>(&timer_play_player)},
    {HostRoutine::timer_close, reinterpret_cast<void *>(&timer_close)},
    {HostRoutine::timer_init, reinterpret_cast<void *>(&timer_init)},
    {HostRoutine::report_fourteen, reinterpret_cast<void *>(&report_fourteen)},
    {HostRoutine::succeed_noop, reinterpret_cast<void *>(&succeed_noop)},
    {HostRoutine::console_flush, reinterpret_cast<void *>(&console_flush)},
    {HostRoutine::read_key, reinterpret_cast<void *>(&read_key)},
    {HostRoutine::poll_events, reinterpret_cast<void *>(&poll_events)},
    {HostRoutine::ftell, reinterpret_cast<void *>(&guest_ftell)},
    {HostRoutine::fseek, reinterpret_cast<void *>(&guest_fseek)},
    {HostRoutine::guest_exit, reinterpret_cast<void *>(&guest_exit)},
    {HostRoutine::pool_alloc, reinterpret_cast<void *>(&pool_alloc)},
    {HostRoutine::console_printf, reinterpret_cast<void *>(&console_printf)},
    {HostRoutine::int386_service, reinterpret_cast<void *>(&int386_service)},
    {HostRoutine::guest_memset, reinterpret_cast<void *>(&guest_memset)},
    {HostRoutine::ignore_one, reinterpret_cast<void *>(&ignore_one)},
    {HostRoutine::fread, reinterpret_cast<void *>(&guest_fread)},
    {HostRoutine::fclose, reinterpret_cast<void *>(&guest_fclose)},
    {HostRoutine::fopen, reinterpret_cast<void *>(&guest_fopen)},
    {HostRoutine::fade_palette, reinterpret_cast<void *>(&fade_palette)},
};
static_assert(std::size(host_routines) == static_cast<size_t>(HostRoutine::count) - 1);

} // namespace

void *host_routine_address(HostRoutine routine) {
    const size_t row = static_cast<size_t>(routine) - 1;
    if (routine == HostRoutine::none || row >= std::size(host_routines) ||
        host_routines[row].routine != routine) {
        fatal("host routine %d", static_cast<int>(routine));
    }
    return host_routines[row].address;
}
