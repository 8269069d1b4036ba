// A render's output file, written through FFmpeg's libraries by a thread of
// its own behind a bounded queue. The file is written under a temporary name
// (TARGET.partial-XXXXXX) beside the target and renamed into place only once
// it is complete; a link at the target is written through, to the file it
// names, and a file already there keeps its permission bits.
#pragma once

#include <cstddef>
#include <cstdint>

// One row per container, picked by the file name's extension.
struct RenderContainer {
    const char *extension;     // ".mkv", ".mp4", ".framemd5", ".wav", ".flac"
    const char *muxer;         // libavformat's name for it
    const char *video_codec;   // encoder name; null: the audio alone
    const char *audio_codec;   // encoder name; null: the guest's own PCM format
    bool native_picture;       // 320x200 tagged with its aspect; else scaled
    int audio_rate;            // the sound resampled to this rate; 0: the guest's own
    const char *audio_packets; // the sound in packets of this encoder's frames
    const char *muxer_options; // in FFmpeg's option syntax
};
// The row for path's extension, null when none matches.
const RenderContainer *render_container_for(const char *path);

struct RenderVideoFormat {
    int width, height;          // of the encoded picture
    bool square_pixels;         // native picture: aspect 1:1 instead of 5:6
    int64_t rate_num, rate_den; // frames a second, num/den
};

// What the file says about itself, beside its streams; null fields are left
// out. Nothing in them may change between two renders of one input.
struct RenderTags {
    const char *title;      // the release
    const char *source_md5; // the guest file's digest, 32 hexadecimal digits
    const char *options;    // the command-line options that shaped the file
    const char *software;   // "lumoxrun VERSION"
};

struct RenderAudioFormat {
    int rate;             // samples a second
    int channels;         // 1 or 2
    int bytes_per_sample; // 1: unsigned 8-bit; 2: signed 16-bit little-endian
};

// Before the guest starts: the encoders exist, the temporary file beside
// path is created. Each failure is one fatal line, and nothing is left.
// video null: no video stream (audio-only containers, where it is ignored);
// tags null: none.
// Also silences FFmpeg's own log and ignores SIGXFSZ, so that a file-size
// limit is a write error like a full disk.
void encoder_prepare(const char *path, const RenderContainer *container,
                     const RenderVideoFormat *video, const RenderTags *tags = nullptr);
// Opens the streams and writes the header, once; audio null: no audio
// stream.
void encoder_start(const RenderAudioFormat *audio);
// One video frame: 64000 palette indices and 256 palette entries of four
// bytes (red, green, blue, unused), as SDL_Color holds them. Copied; blocks
// while the queue is full. A frame bytewise the same as the one before it is
// encoded once: the same packet again where every packet stands alone, the
// same picture handed to the encoder again elsewhere.
void encoder_video_frame(const uint8_t *pixels, const uint8_t *palette);
// Interleaved samples in the started audio format, count bytes of whole
// samples. Copied; blocks while the queue is full. Dropped when the render
// was started without audio.
void encoder_audio(const uint8_t *bytes, size_t count);
// The encoder thread never ends the process: the frame, audio and finish
// calls report its failure (one fatal line, on the caller's thread, the
// temporary removed).
//
// Drains the queue, flushes the encoders, writes the trailer, and once the
// encoder thread has synced and closed the file renames it into place and
// syncs the folder. Returns only when the file is in place. Another render
// may be prepared after it.
void encoder_finish();
// Removes the temporary file; for an exit after a fatal error. Takes no
// lock and joins nothing: safe from exit handlers on any thread, more than
// once, whatever the encoder thread is doing.
void encoder_abort();
// Bytes written to the file so far (for the progress line).
uint64_t encoder_bytes_written();
