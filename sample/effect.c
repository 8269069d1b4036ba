/* The sample guest's picture and music: a plasma frame, its palette, a
 * software mixer that plays a short melody into the DMA buffer, and the bar
 * at the foot of each frame that shows the note being played. Freestanding
 * C for the guest (no C library); the assembly half calls in with the C
 * convention, and the host calls the mixer and player routines directly or
 * through its stack bridge.
 *
 * The frame, palette and bar formulas are mirrored by the end-to-end tests,
 * which compute a held frame themselves; keep them simple integer arithmetic. */
#include <stdint.h>

/* Guest data laid out by the assembly half (object 2). */
extern volatile int32_t mix_length;
struct dma_record {
    uint8_t unused0[12];
    int32_t size;
    int32_t unused16;
    int32_t allocated;
    uint8_t *data;
};
extern struct dma_record dma_record;
extern int32_t error_code_at_call; /* script: player fails at this call */
extern int32_t error_code;

/* The guest's formatted print (a redirected site; C convention fits it). */
extern int site_console_printf(const char *format, ...);

/* A sine-like wave from two parabolas: 256 steps, values 1 to 255. */
static unsigned wave(unsigned i) {
    unsigned j = i & 127;
    unsigned p = (j * (128 - j)) >> 5;
    if (p > 127)
        p = 127;
    return (i & 128) ? 128 - p : 128 + p;
}

void render_plasma(uint8_t *pixels, int frame) {
    unsigned f = (unsigned)frame;
    for (unsigned y = 0; y < 200; y++) {
        for (unsigned x = 0; x < 320; x++) {
            unsigned v = wave(2 * x + 3 * f) + wave(3 * y + 2 * f) + wave(x + y + 5 * f) +
                         wave(x - 2 * y - f);
            pixels[y * 320 + x] = (uint8_t)(v >> 2);
        }
    }
}

void make_palette(uint8_t *palette) {
    for (unsigned i = 0; i < 256; i++) {
        palette[3 * i] = (uint8_t)(wave(3 * i) >> 2);
        palette[3 * i + 1] = (uint8_t)(wave(3 * i + 85) >> 2);
        palette[3 * i + 2] = (uint8_t)(wave(3 * i + 170) >> 2);
    }
}

/* ---- Music ------------------------------------------------------------ */

#define NOTE_COUNT 8
#define TICKS_PER_NOTE 10 /* player ticks at 50 Hz: 0.2 s a note */
#define TICK_RATE 50
#define AMPLITUDE 8000

static const uint32_t melody_hz[NOTE_COUNT] = {262, 392, 523, 659, 784, 1047, 880, 330};

static uint32_t mix_rate; /* set by the mixer open */
static uint32_t mix_mode;
static uint32_t phase_step[NOTE_COUNT];
static uint32_t phase;
static volatile int32_t note, note_tick;
static int32_t pass_cycles;

/* The melody index of the block mixed last, which is what is audible now:
 * the player moves `note` on for the next block right after the mixer. */
volatile int32_t playing_note;

/* Counters the assembly half reports. */
volatile int32_t mixer_open_rate, mixer_open_mode, mixer_open_third, mixer_opens;
volatile int32_t player_calls, dummy_player_calls, mixed_passes, mixed_bytes;
volatile int32_t callback_1_calls, callback_2_calls, close_hook_calls, silent_cycles;

/* step = hz * 2^32 / rate, exactly, in 32-bit steps (no 64-bit division in
 * a freestanding guest). */
static uint32_t step_for(uint32_t hz, uint32_t rate) {
    uint32_t high = (hz << 16) / rate;
    uint32_t rest = (hz << 16) % rate;
    return (high << 16) + ((rest << 16) / rate);
}

/* guest_mixer_open: (rate, mode word, 1) from the host's device open. */
int c_mixer_open(int rate, int mode_word, int third) {
    mixer_open_rate = rate;
    mixer_open_mode = mode_word;
    mixer_open_third = third;
    mixer_opens++;
    if (rate < 4000 || rate > 65535)
        return 1;
    mix_rate = (uint32_t)rate;
    mix_mode = (uint32_t)mode_word;
    for (int i = 0; i < NOTE_COUNT; i++)
        phase_step[i] = step_for(melody_hz[i], mix_rate);
    return 0;
}

int c_close_hook(void) {
    close_hook_calls++;
    return 0;
}

int c_error_report(int code) {
    site_console_printf("sample: player error %d reported\n", code);
    return 0;
}

int mixer_pass_start(void) {
    pass_cycles = 0;
    return 0;
}

static int bytes_per_frame(void) {
    int channels = (mix_mode & 2) ? 2 : 1;
    int width = (mix_mode & 8) ? 2 : 1;
    return channels * width;
}

/* One block of one player tick per pass, written after what this pass has
 * produced so far; the player then moves the melody on. */
int mixer_cycle(int *more_cycles) {
    if (pass_cycles++ > 0 || !dma_record.data) {
        *more_cycles = 0;
        return 0;
    }
    int samples = (int)(mix_rate / TICK_RATE);
    int bytes = samples * bytes_per_frame();
    int at = mix_length;
    if (at < 0 || at + bytes > dma_record.size)
        at = 0;
    uint8_t *out = dma_record.data + at;
    int32_t block_note = note;
    uint32_t step = phase_step[block_note];
    for (int i = 0; i < samples; i++) {
        int v = ((int)wave(phase >> 24) - 128) * AMPLITUDE / 127;
        phase += step;
        int copies = (mix_mode & 2) ? 2 : 1;
        for (int c = 0; c < copies; c++) {
            if (mix_mode & 8) {
                *out++ = (uint8_t)(v & 0xFF);
                *out++ = (uint8_t)((v >> 8) & 0xFF);
            } else {
                *out++ = (uint8_t)((v >> 8) + 128);
            }
        }
    }
    mix_length = at + bytes;
    playing_note = block_note;
    mixed_passes++;
    mixed_bytes += bytes;
    *more_cycles = 1;
    return 0;
}

/* The x87 control word as the latest player call found it. */
volatile int32_t player_x87_control;

int music_player(void) {
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    player_x87_control = control;
    player_calls++;
    if (error_code && player_calls == error_code_at_call)
        return error_code;
    if (++note_tick >= TICKS_PER_NOTE) {
        note_tick = 0;
        note = (note + 1) % NOTE_COUNT;
    }
    return 0;
}

int dummy_player(void) {
    dummy_player_calls++;
    return 0;
}

void timer_callback_1(void) {
    callback_1_calls++;
}
void timer_callback_2(void) {
    callback_2_calls++;
}

/* The guest's own silent device, for when the emulated one is absent. */
int silent_detect(int *present) {
    *present = 1;
    return 0;
}
int silent_open(int rate, int mode) {
    (void)rate;
    (void)mode;
    return 0;
}
int silent_close(void) {
    return 0;
}
int silent_pass_start(void) {
    return 0;
}
int silent_cycle(int *more_cycles) {
    silent_cycles++;
    /* Nothing is mixed, but the bar still follows the music. */
    playing_note = note;
    *more_cycles = 1;
    return 0;
}

/* ---- The note bar ------------------------------------------------------ */

/* Script: 0 no bar, 1 the bar, 2 the bar and a console line at each change. */
extern int32_t script_notes;

/* The note the latest frame copied showed; the frame loop's wait ends when
 * playing_note moves away from it. */
volatile int32_t shown_note = -1;
static int32_t frames_copied;

#define BAR_TOP 192

/* Steps of 32 entries are 3/8 of the palette's colour cycle, so the eight
 * notes take the eight eighths of it: no two hues are near. */
static uint8_t note_bar_index(int32_t n) {
    return (uint8_t)(9 + 32 * n);
}

/* Right before each copy of the frame buffer to the screen. */
void show_note(uint8_t *pixels) {
    int32_t n = playing_note;
    if (script_notes > 1 && n != shown_note)
        site_console_printf("sample: frame %d shows note %d\n", frames_copied, n);
    shown_note = n;
    frames_copied++;
    if (!script_notes)
        return;
    for (unsigned i = BAR_TOP * 320; i < 200 * 320; i++)
        pixels[i] = note_bar_index(n);
}

/* After a frame copy, a busy wait on the music alone: only another thread
 * (or a host that keeps the music going without the guest's help) can end
 * it. The next frame then shows the new note at once. */
void spin_until_next_note(void) {
    while (playing_note == shown_note) {
    }
}
