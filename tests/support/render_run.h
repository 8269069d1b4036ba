// Renders of the sample guest as the end-to-end tests see them: the host run
// with no display and no sound card, and its files decoded again with
// Debian's ffmpeg and ffprobe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/sample_run.h"

// No display and no audio device to be had: a render must need neither.
extern const std::vector<std::string> render_headless;
constexpr int render_frame_rgb = 64000 * 3;

// Status, signal and both outputs, for a failure's message.
std::string describe(const ProcessResult &r);
ProcessResult render_sample(const TempDir &dir, const std::vector<std::string> &options,
                            const std::vector<std::string> &env = render_headless);
// A tool's stdout; a failing tool fails the test.
std::string media_tool(const std::vector<std::string> &argv);
// ffprobe's "key=value" lines for one stream.
std::string probe(const std::string &file, const std::string &stream, const std::string &keys);
// The number after "key=" in ffprobe's lines.
int64_t probe_field(const std::string &text, const std::string &key);
// Every frame of the first video stream as RGB, 320x200.
std::vector<std::vector<uint8_t>> decode_frames(const TempDir &dir, const std::string &file);
// Interleaved signed 16-bit samples, as many channels as the file has.
std::vector<int16_t> decode_audio(const TempDir &dir, const std::string &file);
// The sample's picture as the screen shows it: frame f's pixels in the
// palette of a fade from black at `level` (64: the palette itself).
std::vector<uint8_t> screen_frame(int f, int level = 64);
// The render's closing line: its frame (or sample) count, -1 (and a test
// failure) without one.
int64_t rendered_count(const ProcessResult &r, const std::string &file, const std::string &what);
// What the folder holds besides the guest's own files, sorted: no half file,
// no temporary left behind.
std::vector<std::string> render_outputs(const TempDir &dir);
