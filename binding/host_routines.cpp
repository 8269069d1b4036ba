// Addresses of the host routines that the redirect lists name. The guest's
// file routines go to thin wrappers around the C library's: the library makes
// no promise to leave its parameter slots alone or to run on a stack aligned
// to 4 bytes only, and the adapters rely on both.
#include <cstdio>

#include "binding/catalogue.h"
#include "machine/display.h"
#include "machine/events.h"
#include "machine/runtime.h"
#include "shell/fatal.h"
#include "sound/sound.h"
#include "sound/timer.h"

void *host_routine_address(HostRoutine routine) {
    switch (routine) {
    case HostRoutine::dma_buffer_position:
        return reinterpret_cast<void *>(&dma_buffer_position);
    case HostRoutine::dma_stop:
        return reinterpret_cast<void *>(&dma_stop);
    case HostRoutine::dma_play_buffer:
        return reinterpret_cast<void *>(&dma_play_buffer);
    case HostRoutine::dma_free_buffer:
        return reinterpret_cast<void *>(&dma_free_buffer);
    case HostRoutine::dma_alloc_buffer:
        return reinterpret_cast<void *>(&dma_alloc_buffer);
    case HostRoutine::console_puts:
        return reinterpret_cast<void *>(&console_puts);
    case HostRoutine::report_zero:
        return reinterpret_cast<void *>(&report_zero);
    case HostRoutine::console_putc:
        return reinterpret_cast<void *>(&console_putc);
    case HostRoutine::timer_set_rate:
        return reinterpret_cast<void *>(&timer_set_rate);
    case HostRoutine::timer_set_callbacks:
        return reinterpret_cast<void *>(&timer_set_callbacks);
    case HostRoutine::timer_stop_player:
        return reinterpret_cast<void *>(&timer_stop_player);
    case HostRoutine::timer_play_player:
        return reinterpret_cast<void *>(&timer_play_player);
    case HostRoutine::timer_close:
        return reinterpret_cast<void *>(&timer_close);
    case HostRoutine::timer_init:
        return reinterpret_cast<void *>(&timer_init);
    case HostRoutine::report_fourteen:
        return reinterpret_cast<void *>(&report_fourteen);
    case HostRoutine::succeed_noop:
        return reinterpret_cast<void *>(&succeed_noop);
    case HostRoutine::console_flush:
        return reinterpret_cast<void *>(&console_flush);
    case HostRoutine::read_key:
        return reinterpret_cast<void *>(&read_key);
    case HostRoutine::poll_events:
        return reinterpret_cast<void *>(&poll_events);
    case HostRoutine::ftell:
        return reinterpret_cast<void *>(&guest_ftell);
    case HostRoutine::fseek:
        return reinterpret_cast<void *>(&guest_fseek);
    case HostRoutine::guest_exit:
        return reinterpret_cast<void *>(&guest_exit);
    case HostRoutine::pool_alloc:
        return reinterpret_cast<void *>(&pool_alloc);
    case HostRoutine::console_printf:
        return reinterpret_cast<void *>(&console_printf);
    case HostRoutine::int386_service:
        return reinterpret_cast<void *>(&int386_service);
    case HostRoutine::guest_memset:
        return reinterpret_cast<void *>(&guest_memset);
    case HostRoutine::ignore_one:
        return reinterpret_cast<void *>(&ignore_one);
    case HostRoutine::fread:
        return reinterpret_cast<void *>(&guest_fread);
    case HostRoutine::fclose:
        return reinterpret_cast<void *>(&guest_fclose);
    case HostRoutine::fopen:
        return reinterpret_cast<void *>(&guest_fopen);
    case HostRoutine::fade_palette:
        return reinterpret_cast<void *>(&fade_palette);
    case HostRoutine::none:
    case HostRoutine::count:
        break;
    }
    fatal("host routine %d", static_cast<int>(routine));
}
