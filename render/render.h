// Render mode: the same guest, binding and services on demo time instead of
// the wall clock, its frames and sound written to a video file.
#pragma once

#include <cstdint>

#include "time/scheduler.h"

// From the command line: the output file (null: live play), the frame rate
// of the video stream, and the demo time at which the guest gets an Escape
// (negative: none, the render lasts until the guest exits).
extern const char *render_path;
extern int64_t render_rate_num, render_rate_den;
extern DemoTime render_escape_at;

// "-fps RATE": an integer or a fraction such as 60000/1001; ends the
// process with one line when the text is none.
void parse_render_rate(const char *text);
// "-seconds N": a decimal number of seconds, at most three decimals.
void parse_render_seconds(const char *text);
// The options as a whole, before the guest file is opened: the file type
// and what it can hold. One fatal line for each fault.
void check_render_options();
// After the exit handlers are registered, before the guest starts: the
// output is prepared (its tags name the guest file by its MD5 digest, 16
// bytes; null: no such tag), the render's sink is installed and the
// scheduler's demo driver (with its stall watch) starts.
void begin_render(const uint8_t *guest_md5);
// From the exit handlers (the sink's close): the file is finished and
// renamed into place, or after a fatal error its temporary is removed.
void end_render();
