// The render's output file. The guest's thread only copies a frame or a run
// of samples into a slot of a bounded queue; a thread of the encoder's own
// converts, encodes and muxes them, so that the two share the machine.
//
// Long renders pass 2 GiB; this 32-bit process needs 64-bit file offsets.
#define _FILE_OFFSET_BITS 64

#include "render/encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine/picture.h"
#include "shell/fatal.h"

static const RenderContainer containers[] = {
    // The archival master: the native picture, lossless, tagged 4:3.
    {".mkv", "matroska", "ffv1", "flac", true, 0, nullptr, nullptr},
    // For video sites: scaled sharply, 4:2:0, square pixels; the sound at
    // the 48 kHz they take, and the index at the front, where a site (or a
    // player over the network) reads it before the media.
    {".mp4", "mp4", "libx264", "aac", false, 48000, nullptr, "movflags=+faststart"},
    // The master's own pictures and samples listed with their digests: the
    // sound comes in packets of the master's FLAC frames, so that the
    // listing of the .mkv (ffmpeg -i a.mkv -f framemd5 -) is the same, line
    // for line, but for the timestamps Matroska rounds.
    {".framemd5", "framemd5", "rawvideo", "pcm_s16le", true, 0, "flac", nullptr},
    {".wav", "wav", nullptr, nullptr, false, 0, nullptr, nullptr},
    {".flac", "flac", nullptr, "flac", false, 0, nullptr, nullptr},
};

// Each encoder's settings, in FFmpeg's option syntax. Thread and slice counts
// are fixed, never taken from the machine: x264's output depends on its
// thread count, so a count of the machine's would make files differ between
// machines. FFV1 level 3 keeps a checksum per slice, and its four slices
// spread over two threads.
//
// Chosen on the sample's 733 slots of 10.46 s (every slot encoded by ffmpeg, 2 cores,
// the machine otherwise idle; CPU seconds):
//   FFV1 Golomb-Rice, small contexts  2.46 s  64.0 MB
//   FFV1 Golomb-Rice, large contexts  2.65 s  64.6 MB
//   FFV1 range coder, small contexts  3.80 s  37.5 MB
//   FFV1 range coder, large contexts  4.10 s  38.9 MB
// The range coder with small contexts: 0.59 times the size for 1.5 times
// the time, and with each distinct picture encoded once (a third of the
// slots) the render runs at 13 times real time. At 1440x1080,
// quality 18, PSNR of the decoded picture against the scaled source:
//   x264 ultrafast   7.1 s  49.6 MB  46.9 dB
//   x264 superfast  10.9 s  20.4 MB  45.7 dB
//   x264 veryfast   17.6 s  11.9 MB  43.4 dB
// ultrafast: the only one that keeps the render above 1.5 times real time
// (about 2.7 times, repeats coded as skips), and the best picture; a site
// encodes it again anyway. Its adaptive quantisation, which the repeats'
// region needs, is turned back on: 3.04 s for 300 frames against 3.01 s,
// 20.0 MB against 19.9 MB. AAC at
// 192 kb/s, 48 kHz: the fast coder 0.23 s, SNR 71 dB against the resampled
// sound; the two-loop one 0.31 s, 58 dB.
struct CodecSettings {
    const char *codec;
    const char *options;
    // Its key frames' packets stand alone, whatever their place in the
    // stream (FFV1's carry no frame number, and a key frame resets every
    // context), so that a repeated picture may repeat its packet.
    bool key_packets_stand_alone;
};
static const CodecSettings codec_settings[] = {
    {"ffv1",
     "threads=2:thread_type=slice:level=3:slices=4:slicecrc=1:coder=range_tab:g=1:context=0", true},
    {"libx264", "threads=4:thread_type=frame:preset=ultrafast:crf=18:aq-mode=variance", false},
    {"aac", "b=192k:aac_coder=fast", false},
};

const RenderContainer *render_container_for(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    const char *dot = strrchr(name, '.');
    // A name that is all extension (".mkv") is a hidden file without one.
    if (!dot || dot == name) {
        return nullptr;
    }
    for (const RenderContainer &c : containers) {
        if (strcmp(dot, c.extension) == 0) {
            return &c;
        }
    }
    return nullptr;
}

// One slot of the queue: a frame (its pixels, then its palette), the frame
// before it once more, a run of audio bytes, or the end.
enum : uint32_t { item_frame = 1, item_repeat = 2, item_audio = 3, item_end = 4 };
constexpr uint32_t frame_bytes = 64000;
constexpr uint32_t palette_bytes = 1024;
struct QueueItem {
    uint32_t kind;
    uint32_t size_bytes; // audio bytes held in data
    uint8_t data[frame_bytes + palette_bytes];
};
static_assert(sizeof(QueueItem) == 8 + 65024);
// A few frames of slack between the guest and the encoder. A guest that
// outruns the encoder waits here; nothing grows.
constexpr int queue_slots = 16;
static QueueItem queue_items[queue_slots];
static int queue_head = 0;
static int queue_count = 0;
// Plain pthread objects: they have no destructors, which at exit could wait
// for a thread still blocked on them.
static pthread_mutex_t queue_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_not_full = PTHREAD_COND_INITIALIZER;
static pthread_cond_t queue_not_empty = PTHREAD_COND_INITIALIZER;
static pthread_t encoder_thread;

// Where a render is in its life; the calls must come in this order.
enum : int { stage_idle, stage_prepared, stage_started };
static int stage = stage_idle;
// Set by encoder_abort: the process is ending, the file is no longer ours.
static std::atomic<bool> aborting{false};
// Set by the encoder thread once it touches nothing more.
// NOTE: pthread_join is not relied on alone: under qemu's user-mode emulator
// it can fail at once (EDEADLK) from an exit handler while the thread still
// encodes, for reasons not known; the flag makes that harmless.
static std::atomic<bool> encoder_done{false};
// Set by the encoder thread once the trailer is written and the file synced
// and closed: only then may it be renamed into place.
static std::atomic<bool> file_complete{false};
// The encoder thread exists and is not yet joined. Atomic: two producers (the
// main thread, the stall watch) may meet a failure at once, and only one may
// join.
static std::atomic<bool> thread_running{false};
// The first failure as its one line. The encoder thread never ends the
// process itself: it notes the line, stops, and the producer's next call
// reports it on the producer's own thread.
static std::atomic<bool> failure_claimed{false};
static std::atomic<bool> failed{false};
static char failure_line[PATH_MAX + 160];
// The temporary file exists and is ours to remove.
static std::atomic<bool> temp_live{false};
static std::atomic<uint64_t> bytes_written{0};

static const RenderContainer *container = nullptr;
// The name given, for messages; and the file written: the target itself, or
// the file a link at the target names.
static char target_path[PATH_MAX];
static char file_path[PATH_MAX];
static char temp_path[PATH_MAX + 16];
static mode_t file_mode = 0;
static int file_fd = -1;
static int64_t file_position = 0;
static RenderAudioFormat audio_format;
static bool has_video = false;
static bool has_audio = false;

static const AVOutputFormat *muxer = nullptr;
static AVFormatContext *output = nullptr;
static AVIOContext *output_io = nullptr;
// One output stream, as FFmpeg's own muxing example keeps it.
struct OutputStream {
    AVCodecContext *codec;
    AVStream *stream;
    AVFrame *frame;   // the next frame for the encoder
    AVPacket *packet; // what the encoder gives back
    int64_t next_pts; // in the codec's time base: frames, or samples
    // Video: where a key frame's packet stands alone (an intra-only codec,
    // FFV1), a repeated picture is its last packet again; else the encoder
    // gets the picture again.
    bool reuse_packets;
    AVPacket *last_packet;
    // Audio: samples waiting in frame, and how many make a frame for the
    // encoder; an encoder that takes no short last frame gets it filled up
    // with silence.
    int fill;
    int chunk;
    bool pad_last_frame;
    // Audio at another rate than the guest's: the resampler, and what it made
    // that does not yet fill a frame.
    SwrContext *resampler;
    AVAudioFifo *resampled;
    uint8_t **resampler_out;
    int resampler_out_samples;
};
static OutputStream video = {};
static OutputStream audio = {};
// The native picture is drawn in 32-bit RGB, the scaled one in 4:2:0.
static PictureLayout layout;
static ChromaMap chroma_map;
static AVDictionary *file_tags = nullptr;
// The producer's copy of the last frame queued, which the next is compared
// with.
static uint8_t last_queued[frame_bytes + palette_bytes];
static bool queued_any = false;
// The guest's samples taken so far.
static int64_t audio_samples_in = 0;
// What audio takes where the encoder takes any number of samples (PCM).
constexpr int pcm_chunk_samples = 4096;

// Only the first failure is kept: later ones are its consequences (a muxer
// that fails after its writes did).
__attribute__((format(printf, 1, 2))) static void note_failure(const char *fmt, ...) {
    if (failure_claimed.exchange(true)) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(failure_line, sizeof failure_line, fmt, ap);
    va_end(ap);
    failed.store(true);
}

static void note_errno() {
    note_failure("render %s: %s", target_path, strerror(errno));
}

static void note_av(const char *step, int error) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(error, text, sizeof text);
    note_failure("render %s: %s: %s", target_path, step, text);
}

static void wait_for_encoder_thread() {
    if (!thread_running.exchange(false)) {
        return;
    }
    if (pthread_join(encoder_thread, nullptr) != 0) {
        while (!encoder_done.load()) {
            usleep(1000);
        }
    }
}

static void remove_temporary() {
    if (temp_live.exchange(false)) {
        unlink(temp_path);
    }
}

// On the producer's thread: the noted failure, once the encoder thread (which
// stops at a failure) has let go of the file, and with the file gone.
[[noreturn]] static void report_failure() {
    wait_for_encoder_thread();
    remove_temporary();
    fatal("%s", failure_line);
}

[[noreturn]] static void fail_errno() {
    note_errno();
    report_failure();
}

[[noreturn]] static void fail_av(const char *step, int error) {
    note_av(step, error);
    report_failure();
}

[[noreturn]] static void out_of_memory() {
    note_failure("render: out of memory");
    report_failure();
}

// The process is ending through a fatal error on another thread, which
// reports it (this line then never shows): the file is gone, and the render
// must not go on to say it was written.
[[noreturn]] static void ended_elsewhere() {
    remove_temporary();
    fatal("render %s: ended by an error elsewhere", target_path);
}

template <typename T> static T *need(T *p) {
    if (!p) {
        out_of_memory();
    }
    return p;
}

#if LIBAVFORMAT_VERSION_MAJOR < 61
using OutputBytes = uint8_t *;
#else
using OutputBytes = const uint8_t *;
#endif

// libavformat writes through these, so that a write error is reported with
// its own errno (a full disk, a size limit) and the file's size is known.
// They run on the encoder thread, or on the producer's for the header.
static int write_file(void *, OutputBytes bytes, int size) {
    if (failed.load()) {
        return AVERROR(EIO);
    }
    const uint8_t *p = bytes;
    size_t left = static_cast<size_t>(size);
    while (left > 0) {
        const ssize_t n = write(file_fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error_number = n == 0 ? EIO : errno;
            errno = error_number;
            note_errno();
            return AVERROR(error_number);
        }
        p += n;
        left -= static_cast<size_t>(n);
        file_position += n;
    }
    if (static_cast<uint64_t>(file_position) > bytes_written.load(std::memory_order_relaxed)) {
        bytes_written.store(static_cast<uint64_t>(file_position), std::memory_order_relaxed);
    }
    return size;
}

static int64_t seek_file(void *, int64_t offset, int whence) {
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return fstat(file_fd, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t at = lseek(file_fd, offset, whence & ~AVSEEK_FORCE);
    if (at < 0) {
        const int error_number = errno;
        note_errno();
        return AVERROR(error_number);
    }
    file_position = at;
    return at;
}

static const CodecSettings *settings_for(const char *codec) {
    for (const CodecSettings &s : codec_settings) {
        if (strcmp(s.codec, codec) == 0) {
            return &s;
        }
    }
    return nullptr;
}

static const AVCodec *require_encoder(const char *name) {
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        fatal("render: no encoder %s", name);
    }
    return codec;
}

static AVCodecContext *new_codec_context(const char *name) {
    AVCodecContext *ctx = need(avcodec_alloc_context3(require_encoder(name)));
    ctx->flags |= AV_CODEC_FLAG_BITEXACT;
    if (muxer->flags & AVFMT_GLOBALHEADER) {
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    return ctx;
}

// Opens the encoder with its settings; an option it does not know would
// otherwise be dropped without a word.
static void open_codec(AVCodecContext *ctx) {
    AVDictionary *options = nullptr;
    const CodecSettings *settings = settings_for(ctx->codec->name);
    if (settings && av_dict_parse_string(&options, settings->options, "=", ":", 0) < 0) {
        fail_av(ctx->codec->name, AVERROR(EINVAL));
    }
    const int ret = avcodec_open2(ctx, ctx->codec, &options);
    if (ret < 0) {
        fail_av(ctx->codec->name, ret);
    }
    const AVDictionaryEntry *unused = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (unused) {
        encoder_abort();
        fatal("render: %s has no option %s", ctx->codec->name, unused->key);
    }
    av_dict_free(&options);
}

// Frames the encoder may still hold are copied before they are written to.
static bool make_writable(AVFrame *frame) {
    const int ret = av_frame_make_writable(frame);
    if (ret < 0) {
        note_av("frame", ret);
    }
    return ret >= 0;
}

static void open_video(const RenderVideoFormat *format) {
    if (format->rate_num <= 0 || format->rate_den <= 0 || format->rate_num > INT_MAX ||
        format->rate_den > INT_MAX) {
        fatal("render: frame rate %lld/%lld", static_cast<long long>(format->rate_num),
              static_cast<long long>(format->rate_den));
    }
    AVCodecContext *v = new_codec_context(container->video_codec);
    const int num = static_cast<int>(format->rate_num);
    const int den = static_cast<int>(format->rate_den);
    // Frame n has pts n. Matroska keeps milliseconds: frame n lands at
    // round(n x 1000 x den / num) ms, at 125875/1796 fps 0, 14, 29, 43...
    // MP4 takes the time base's denominator as its timescale (doubled until
    // it reaches 10000), where every frame lasts exactly den ticks: no
    // rounding at all.
    v->time_base = AVRational{den, num};
    v->framerate = AVRational{num, den};
    if (container->native_picture) {
        v->width = 320;
        v->height = 200;
        // 0x00RRGGBB in host order: the colour table's own entries.
        v->pix_fmt = AV_PIX_FMT_0RGB32;
        v->sample_aspect_ratio = format->square_pixels ? AVRational{1, 1} : AVRational{5, 6};
        // The palette's own colours: RGB at full range, which the VGA's DAC
        // put on a CRT and which a computer's screen shows as sRGB.
        v->color_range = AVCOL_RANGE_JPEG;
        v->colorspace = AVCOL_SPC_RGB;
        v->color_primaries = AVCOL_PRI_BT709;
        v->color_trc = AVCOL_TRC_IEC61966_2_1;
        lay_out_picture(layout, 320, 200, true);
    } else {
        // 4:2:0 halves both sides; x264 would round an odd one away.
        if (format->width < 2 || format->height < 2 || format->width > 16384 ||
            format->height > 16384 || format->width % 2 != 0 || format->height % 2 != 0) {
            fatal("render: picture size %dx%d", format->width, format->height);
        }
        v->width = format->width;
        v->height = format->height;
        v->pix_fmt = AV_PIX_FMT_YUV420P;
        v->sample_aspect_ratio = AVRational{1, 1};
        // What bt709_colours computes; untagged HD video is taken for
        // BT.709 by players anyway.
        v->color_range = AVCOL_RANGE_MPEG;
        v->colorspace = AVCOL_SPC_BT709;
        v->color_primaries = AVCOL_PRI_BT709;
        v->color_trc = AVCOL_TRC_BT709;
        lay_out_picture(layout, format->width, format->height, format->square_pixels);
        map_chroma(layout, chroma_map);
    }
    open_codec(v);
    video.codec = v;
    const AVCodecDescriptor *descriptor = avcodec_descriptor_get(v->codec_id);
    const CodecSettings *settings = settings_for(v->codec->name);
    video.reuse_packets = (descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY)) ||
                          (settings && settings->key_packets_stand_alone);
    video.frame = need(av_frame_alloc());
    video.frame->format = v->pix_fmt;
    video.frame->width = v->width;
    video.frame->height = v->height;
    if (av_frame_get_buffer(video.frame, 0) < 0) {
        out_of_memory();
    }
    // Black once: the picture never draws on the borders, and a frame made
    // writable again is a copy.
    if (!container->native_picture) {
        memset(video.frame->data[0], 16, static_cast<size_t>(video.frame->linesize[0]) * v->height);
        for (int p = 1; p < 3; p++) {
            memset(video.frame->data[p], 128,
                   static_cast<size_t>(video.frame->linesize[p]) * (v->height / 2));
        }
    }
    video.packet = need(av_packet_alloc());
    video.last_packet = need(av_packet_alloc());
}

// The temporary file, beside the file written so that the rename stays
// within one file system. A link at the target is written through: the file
// it names gets the new content and the link stays. A link that names
// nothing (or loops) is refused rather than followed to create a file: in a
// shared folder, where such a link points may be someone else's choice. A
// link to anything but a regular file is refused like such a target.
static void create_temporary() {
    strcpy(file_path, target_path);
    struct stat st;
    bool exists = lstat(target_path, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        if (stat(target_path, &st) != 0) {
            fatal_errno("render %s", target_path);
        }
        if (S_ISREG(st.st_mode) && !realpath(target_path, file_path)) {
            fatal_errno("render %s", target_path);
        }
    }
    if (exists && !S_ISREG(st.st_mode)) {
        fatal("render %s: not a regular file", target_path);
    }
    snprintf(temp_path, sizeof temp_path, "%s.partial-XXXXXX", file_path);
    // A file that exists keeps its permission bits. Else mkstemp's 0600
    // becomes what a new file gets under the umask. The umask can only be
    // read by setting it; this runs before the guest starts, while no other
    // thread creates files.
    if (exists) {
        file_mode = st.st_mode & 0777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        file_mode = 0666 & ~mask;
    }
    file_fd = mkostemp(temp_path, O_CLOEXEC);
    if (file_fd < 0) {
        fatal_errno("render %s", target_path);
    }
    temp_live.store(true);
    if (fchmod(file_fd, file_mode) != 0) {
        fail_errno();
    }
    file_position = 0;
    bytes_written.store(0);
}

// The tags as each muxer names them: Matroska writes any tag (in capitals),
// MP4 only those it knows, of which the title.
static void set_tags(const RenderTags *tags) {
    av_dict_free(&file_tags);
    if (!tags) {
        return;
    }
    const struct {
        const char *key;
        const char *value;
    } entries[] = {
        {"title", tags->title},
        {"encoder", tags->software},
        {"encoder_settings", tags->options},
        {"source_md5", tags->source_md5},
    };
    for (const auto &e : entries) {
        if (e.value && av_dict_set(&file_tags, e.key, e.value, 0) < 0) {
            out_of_memory();
        }
    }
}

void encoder_prepare(const char *path, const RenderContainer *c, const RenderVideoFormat *format,
                     const RenderTags *tags) {
    if (stage != stage_idle) {
        fatal("render: prepared twice");
    }
    if (strlen(path) >= sizeof target_path) {
        errno = ENAMETOOLONG;
        fatal_errno("render %s", path);
    }
    if (!c) {
        fatal("render %s: unknown extension", path);
    }
    strcpy(target_path, path);
    container = c;
    failure_claimed.store(false);
    failed.store(false);
    file_complete.store(false);
    // The libraries' own chatter (x264's statistics, warnings) would break
    // the one-line reports and the progress line; failures come as ours.
    av_log_set_level(AV_LOG_QUIET);
    // A file-size limit would otherwise kill the process at the write, with
    // no message and the temporary file left; ignored, the write fails with
    // EFBIG and is reported like a full disk.
    signal(SIGXFSZ, SIG_IGN);
    muxer = av_guess_format(c->muxer, nullptr, nullptr);
    if (!muxer) {
        fatal("render: no muxer %s", c->muxer);
    }
    // Which PCM format the guest plays is known only at the start.
    if (c->audio_codec) {
        require_encoder(c->audio_codec);
    } else {
        require_encoder("pcm_u8");
        require_encoder("pcm_s16le");
    }
    has_video = c->video_codec && format;
    if (c->video_codec) {
        require_encoder(c->video_codec);
    }
    video = OutputStream{};
    audio = OutputStream{};
    queued_any = false;
    audio_samples_in = 0;
    set_tags(tags);
    // Opened now, so that an encoder that refuses its settings fails before
    // the guest starts.
    if (has_video) {
        open_video(format);
    }
    create_temporary();
    queue_head = 0;
    queue_count = 0;
    stage = stage_prepared;
}

// The frame size that encoder `name` takes at the guest's rate, for packets
// like its own.
static int frame_size_of(const char *name) {
    AVCodecContext *c = new_codec_context(name);
    c->sample_fmt = AV_SAMPLE_FMT_S16;
    c->sample_rate = audio_format.rate;
    av_channel_layout_default(&c->ch_layout, audio_format.channels);
    c->time_base = AVRational{1, audio_format.rate};
    const int ret = avcodec_open2(c, c->codec, nullptr);
    if (ret < 0) {
        fail_av(name, ret);
    }
    const int samples = c->frame_size > 0 ? c->frame_size : pcm_chunk_samples;
    avcodec_free_context(&c);
    return samples;
}

// From the guest's samples to the encoder's rate and format. Deterministic:
// the resampler's arithmetic depends on nothing but its input.
static void open_resampler() {
    AVCodecContext *a = audio.codec;
    AVChannelLayout layout_in;
    av_channel_layout_default(&layout_in, audio_format.channels);
    const AVSampleFormat format_in =
        audio_format.bytes_per_sample == 1 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    int ret = swr_alloc_set_opts2(&audio.resampler, &a->ch_layout, a->sample_fmt, a->sample_rate,
                                  &layout_in, format_in, audio_format.rate, 0, nullptr);
    if (ret >= 0) {
        ret = swr_init(audio.resampler);
    }
    if (ret < 0) {
        fail_av("resample", ret);
    }
    audio.resampled = need(av_audio_fifo_alloc(a->sample_fmt, a->ch_layout.nb_channels, 1));
}

static void open_audio(const RenderAudioFormat *format) {
    if (format->rate <= 0 || (format->channels != 1 && format->channels != 2) ||
        (format->bytes_per_sample != 1 && format->bytes_per_sample != 2)) {
        encoder_abort();
        fatal("render: audio of %d Hz, %d channels, %d bytes a sample", format->rate,
              format->channels, format->bytes_per_sample);
    }
    audio_format = *format;
    const char *name = container->audio_codec          ? container->audio_codec
                       : format->bytes_per_sample == 1 ? "pcm_u8"
                                                       : "pcm_s16le";
    const int rate = container->audio_rate > 0 ? container->audio_rate : format->rate;
    AVCodecContext *a = new_codec_context(name);
    const int *rates = a->codec->supported_samplerates;
    if (rates) {
        while (*rates != 0 && *rates != rate) {
            rates++;
        }
        if (*rates == 0) {
            encoder_abort();
            fatal("render %s: %s takes no audio of %d Hz", target_path, name, rate);
        }
    }
    // The encoder's first format that convert_samples makes: U8 (pcm_u8),
    // S16 (pcm_s16le, flac) or FLTP (aac). FLAC takes no 8-bit samples: an
    // 8-bit guest's samples go in as 16-bit ones with a low byte of zero,
    // which FLAC stores as wasted bits at no cost, and which decode back to
    // the guest's bytes exactly (the high byte plus 128).
    a->sample_fmt = AV_SAMPLE_FMT_NONE;
    for (const AVSampleFormat *f = a->codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; f++) {
        if (*f == AV_SAMPLE_FMT_S16 || *f == AV_SAMPLE_FMT_FLTP ||
            (*f == AV_SAMPLE_FMT_U8 && format->bytes_per_sample == 1)) {
            a->sample_fmt = *f;
            break;
        }
    }
    if (a->sample_fmt == AV_SAMPLE_FMT_NONE) {
        encoder_abort();
        fatal("render: %s takes no samples the guest plays", name);
    }
    a->sample_rate = rate;
    av_channel_layout_default(&a->ch_layout, format->channels);
    a->time_base = AVRational{1, rate};
    open_codec(a);
    audio.codec = a;
    if (rate != format->rate) {
        open_resampler();
    }
    // An encoder that takes any number of samples a frame gets runs of
    // pcm_chunk_samples (or of another encoder's frames); any other takes
    // frame_size samples in each frame but the last. That one goes short
    // where the encoder allows it (every encoder in the table does); else it
    // is filled up with silence, and the sound then runs on past the picture
    // by up to frame_size - 1 samples.
    const int caps = a->codec->capabilities;
    const bool any_size = (caps & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) || a->frame_size <= 0;
    audio.chunk = !any_size                  ? a->frame_size
                  : container->audio_packets ? frame_size_of(container->audio_packets)
                                             : pcm_chunk_samples;
    audio.pad_last_frame = !any_size && !(caps & AV_CODEC_CAP_SMALL_LAST_FRAME);
    audio.frame = need(av_frame_alloc());
    audio.frame->format = a->sample_fmt;
    audio.frame->sample_rate = a->sample_rate;
    audio.frame->nb_samples = audio.chunk;
    if (av_channel_layout_copy(&audio.frame->ch_layout, &a->ch_layout) < 0 ||
        av_frame_get_buffer(audio.frame, 0) < 0) {
        out_of_memory();
    }
    audio.packet = need(av_packet_alloc());
}

static AVStream *add_stream(AVCodecContext *ctx) {
    AVStream *st = need(avformat_new_stream(output, nullptr));
    const int ret = avcodec_parameters_from_context(st->codecpar, ctx);
    if (ret < 0) {
        fail_av("stream", ret);
    }
    st->time_base = ctx->time_base;
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;
    st->avg_frame_rate = ctx->framerate;
    return st;
}

static void *encoder_main(void *);

void encoder_start(const RenderAudioFormat *format) {
    if (stage != stage_prepared) {
        fatal("render: started before prepared");
    }
    has_audio = format != nullptr;
    if (!has_video && !has_audio) {
        encoder_abort();
        fatal("render %s: no sound to write", target_path);
    }
    if (has_audio) {
        open_audio(format);
    }
    if (avformat_alloc_output_context2(&output, muxer, nullptr, nullptr) < 0) {
        out_of_memory();
    }
    // No dates, versions or random identifiers: two renders of one input
    // are the same bytes.
    output->flags |= AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;
    constexpr int io_buffer_bytes = 256 * 1024;
    uint8_t *io_buffer = need(static_cast<uint8_t *>(av_malloc(io_buffer_bytes)));
    output_io = need(
        avio_alloc_context(io_buffer, io_buffer_bytes, 1, nullptr, nullptr, write_file, seek_file));
    output->pb = output_io;
    // The muxer's second pass (MP4's index moved to the front) reads the
    // temporary back by its name; "file:" keeps a colon in it from naming a
    // protocol.
    char url[sizeof temp_path + 8];
    snprintf(url, sizeof url, "file:%s", temp_path);
    output->url = need(av_strdup(url));
    // Both streams are the ones to play: players and archives take an
    // unflagged track for a spare one.
    if (has_video) {
        video.stream = add_stream(video.codec);
        video.stream->disposition = AV_DISPOSITION_DEFAULT;
    }
    if (has_audio) {
        audio.stream = add_stream(audio.codec);
        audio.stream->disposition = AV_DISPOSITION_DEFAULT;
    }
    AVDictionary *options = nullptr;
    if (container->muxer_options &&
        av_dict_parse_string(&options, container->muxer_options, "=", ":", 0) < 0) {
        fail_av("options", AVERROR(EINVAL));
    }
    int ret = avformat_init_output(output, &options);
    if (ret < 0) {
        fail_av("header", ret);
    }
    if (const AVDictionaryEntry *unused =
            av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
        encoder_abort();
        fatal("render: %s has no option %s", container->muxer, unused->key);
    }
    av_dict_free(&options);
    // After the muxer's set-up, which drops an "encoder" tag from a
    // bit-exact file (it would name libavformat's version).
    if (av_dict_copy(&output->metadata, file_tags, 0) < 0) {
        out_of_memory();
    }
    ret = avformat_write_header(output, nullptr);
    if (ret < 0) {
        fail_av("header", ret);
    }
    encoder_done.store(false);
    const int error_number = pthread_create(&encoder_thread, nullptr, encoder_main, nullptr);
    if (error_number != 0) {
        errno = error_number;
        fail_errno();
    }
    thread_running.store(true);
    stage = stage_started;
}

// Waits for a free slot and returns it with the queue locked; null once the
// process is ending. A failure of the encoder's is reported here.
static QueueItem *reserve_item() {
    pthread_mutex_lock(&queue_mutex);
    while (queue_count == queue_slots && !aborting.load() && !failed.load()) {
        pthread_cond_wait(&queue_not_full, &queue_mutex);
    }
    if (failed.load()) {
        pthread_mutex_unlock(&queue_mutex);
        report_failure();
    }
    if (aborting.load()) {
        pthread_mutex_unlock(&queue_mutex);
        return nullptr;
    }
    return &queue_items[(queue_head + queue_count) % queue_slots];
}

static void publish_item() {
    queue_count++;
    pthread_cond_signal(&queue_not_empty);
    pthread_mutex_unlock(&queue_mutex);
}

static void require_started(const char *what) {
    if (stage != stage_started) {
        fatal("render: %s before the start", what);
    }
}

void encoder_video_frame(const uint8_t *pixels, const uint8_t *palette) {
    require_started("frame");
    if (!has_video) {
        return;
    }
    // Most slots repeat the picture before them (a demo draws a new one
    // every few refreshes): they cost a comparison, not a copy and an
    // encoding.
    const bool repeat = queued_any && memcmp(last_queued, pixels, frame_bytes) == 0 &&
                        memcmp(last_queued + frame_bytes, palette, palette_bytes) == 0;
    if (!repeat) {
        memcpy(last_queued, pixels, frame_bytes);
        memcpy(last_queued + frame_bytes, palette, palette_bytes);
        queued_any = true;
    }
    QueueItem *item = reserve_item();
    if (!item) {
        return;
    }
    item->kind = repeat ? item_repeat : item_frame;
    if (!repeat) {
        memcpy(item->data, last_queued, frame_bytes + palette_bytes);
    }
    publish_item();
}

void encoder_audio(const uint8_t *bytes, size_t count) {
    require_started("audio");
    // Without an audio stream (the render was started without sound) the
    // samples have nowhere to go.
    if (!has_audio) {
        return;
    }
    const size_t sample_bytes =
        static_cast<size_t>(audio_format.channels) * audio_format.bytes_per_sample;
    if (count % sample_bytes != 0) {
        encoder_abort();
        fatal("render: audio of %zu bytes, not whole samples", count);
    }
    const size_t slot_bytes = sizeof queue_items[0].data / sample_bytes * sample_bytes;
    while (count > 0) {
        const size_t n = count < slot_bytes ? count : slot_bytes;
        QueueItem *item = reserve_item();
        if (!item) {
            return;
        }
        item->kind = item_audio;
        item->size_bytes = static_cast<uint32_t>(n);
        memcpy(item->data, bytes, n);
        publish_item();
        bytes += n;
        count -= n;
    }
}

// On the encoder thread from here: each step notes its failure and returns
// false, and the thread stops.

static bool write_packet(OutputStream &os) {
    av_packet_rescale_ts(os.packet, os.codec->time_base, os.stream->time_base);
    os.packet->stream_index = os.stream->index;
    const int ret = av_interleaved_write_frame(output, os.packet);
    if (ret < 0) {
        note_av("write", ret);
        return false;
    }
    return true;
}

// Sends a frame (null: the end) and writes every packet the encoder has.
static bool encode(OutputStream &os, const AVFrame *frame) {
    int ret = avcodec_send_frame(os.codec, frame);
    if (ret < 0) {
        note_av(os.codec->codec->name, ret);
        return false;
    }
    for (;;) {
        ret = avcodec_receive_packet(os.codec, os.packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            // A write the muxer let pass is still a failure.
            return !failed.load();
        }
        if (ret < 0) {
            note_av(os.codec->codec->name, ret);
            return false;
        }
        if (os.codec->codec_type == AVMEDIA_TYPE_VIDEO) {
            // Each frame lasts one slot, the last one included.
            if (os.packet->duration == 0) {
                os.packet->duration = 1;
            }
            // A reference, not a copy: the muxer and the next repeat share
            // the bytes.
            av_packet_unref(os.last_packet);
            if (os.reuse_packets && av_packet_ref(os.last_packet, os.packet) < 0) {
                note_failure("render: out of memory");
                return false;
            }
        }
        if (!write_packet(os)) {
            return false;
        }
    }
}

static bool encode_picture(const uint8_t *pixels, const uint8_t *palette) {
    if (!make_writable(video.frame)) {
        return false;
    }
    if (container->native_picture) {
        uint32_t colours[256];
        for (int i = 0; i < 256; i++) {
            colours[i] = static_cast<uint32_t>(palette[4 * i]) << 16 |
                         static_cast<uint32_t>(palette[4 * i + 1]) << 8 | palette[4 * i + 2];
        }
        draw_picture(layout, pixels, colours, video.frame->data[0], video.frame->linesize[0]);
    } else {
        Yuv420Colours colours;
        bt709_colours(palette, colours);
        draw_picture_420(layout, chroma_map, pixels, colours, video.frame->data,
                         video.frame->linesize);
    }
    video.frame->pts = video.next_pts++;
    return encode(video, video.frame);
}

// The picture before, in the next slot: a key frame's packet once more at
// the new time, or the same frame for the encoder. Left to itself x264
// spends on a repeat nearly half a new picture's bytes (the sample: 45 KB
// against 98 KB), refining what it coded the slot before; the whole picture
// as a region of the coarsest quantiser makes it a run of skipped blocks.
static bool repeat_picture() {
    const int64_t pts = video.next_pts++;
    if (video.reuse_packets && video.last_packet->data &&
        (video.last_packet->flags & AV_PKT_FLAG_KEY)) {
        if (av_packet_ref(video.packet, video.last_packet) < 0) {
            note_failure("render: out of memory");
            return false;
        }
        video.packet->pts = pts;
        video.packet->dts = pts;
        return write_packet(video);
    }
    video.frame->pts = pts;
    AVFrameSideData *side = av_frame_new_side_data(video.frame, AV_FRAME_DATA_REGIONS_OF_INTEREST,
                                                   sizeof(AVRegionOfInterest));
    if (!side) {
        note_failure("render: out of memory");
        return false;
    }
    AVRegionOfInterest *whole = reinterpret_cast<AVRegionOfInterest *>(side->data);
    whole->self_size = sizeof(AVRegionOfInterest);
    whole->top = 0;
    whole->bottom = video.frame->height;
    whole->left = 0;
    whole->right = video.frame->width;
    whole->qoffset = AVRational{1, 1};
    const bool ok = encode(video, video.frame);
    av_frame_remove_side_data(video.frame, AV_FRAME_DATA_REGIONS_OF_INTEREST);
    return ok;
}

static bool send_audio() {
    audio.frame->nb_samples = audio.fill;
    audio.frame->pts = audio.next_pts;
    audio.next_pts += audio.fill;
    audio.fill = 0;
    return encode(audio, audio.frame);
}

// Silence in audio.frame from sample `from` to `to`.
static void silence_frame(int from, int to) {
    const int channels = audio_format.channels;
    const size_t values = static_cast<size_t>(to - from) * channels;
    switch (audio.codec->sample_fmt) {
    case AV_SAMPLE_FMT_U8:
        memset(audio.frame->data[0] + from * channels, 0x80, values);
        break;
    case AV_SAMPLE_FMT_S16:
        memset(audio.frame->data[0] + from * channels * 2, 0, values * 2);
        break;
    default: // AV_SAMPLE_FMT_FLTP, a plane a channel
        for (int c = 0; c < channels; c++) {
            memset(audio.frame->data[c] + from * 4, 0, values / channels * 4);
        }
        break;
    }
}

// n samples of the guest's format into audio.frame at audio.fill.
static void convert_samples(const uint8_t *in, int n) {
    const int channels = audio_format.channels;
    const bool eight_bit = audio_format.bytes_per_sample == 1;
    const int values = n * channels;
    switch (audio.codec->sample_fmt) {
    case AV_SAMPLE_FMT_U8:
        memcpy(audio.frame->data[0] + audio.fill * channels, in, static_cast<size_t>(values));
        break;
    case AV_SAMPLE_FMT_S16: {
        int16_t *out = reinterpret_cast<int16_t *>(audio.frame->data[0]) + audio.fill * channels;
        if (!eight_bit) {
            memcpy(out, in, static_cast<size_t>(values) * 2);
            break;
        }
        for (int i = 0; i < values; i++) {
            out[i] = static_cast<int16_t>((in[i] - 128) * 256);
        }
        break;
    }
    default: // AV_SAMPLE_FMT_FLTP
        for (int i = 0; i < values; i++) {
            float v;
            if (eight_bit) {
                v = static_cast<float>(in[i] - 128) / 128.0f;
            } else {
                int16_t s;
                memcpy(&s, in + 2 * i, 2);
                v = static_cast<float>(s) / 32768.0f;
            }
            reinterpret_cast<float *>(audio.frame->data[i % channels])[audio.fill + i / channels] =
                v;
        }
        break;
    }
}

// Whole frames of what the resampler made.
static bool send_resampled() {
    while (av_audio_fifo_size(audio.resampled) >= audio.chunk) {
        if (!make_writable(audio.frame)) {
            return false;
        }
        audio.frame->nb_samples = audio.chunk;
        av_audio_fifo_read(audio.resampled, reinterpret_cast<void **>(audio.frame->data),
                           audio.chunk);
        audio.fill = audio.chunk;
        if (!send_audio()) {
            return false;
        }
    }
    return true;
}

// n samples of the guest's format through the resampler; in null: the
// resampler's delay flushed at the end.
static bool resample(const uint8_t *in, int n) {
    const int room = swr_get_out_samples(audio.resampler, n);
    if (room < 0) {
        note_av("resample", room);
        return false;
    }
    if (room > audio.resampler_out_samples) {
        if (audio.resampler_out) {
            av_freep(&audio.resampler_out[0]);
        }
        av_freep(&audio.resampler_out);
        if (av_samples_alloc_array_and_samples(&audio.resampler_out, nullptr,
                                               audio.codec->ch_layout.nb_channels, room,
                                               audio.codec->sample_fmt, 0) < 0) {
            note_failure("render: out of memory");
            return false;
        }
        audio.resampler_out_samples = room;
    }
    const uint8_t *planes[1] = {in};
    const int made =
        swr_convert(audio.resampler, audio.resampler_out, room, in ? planes : nullptr, n);
    if (made < 0) {
        note_av("resample", made);
        return false;
    }
    if (av_audio_fifo_write(audio.resampled, reinterpret_cast<void **>(audio.resampler_out), made) <
        made) {
        note_failure("render: out of memory");
        return false;
    }
    return send_resampled();
}

static bool take_audio(const uint8_t *bytes, size_t count) {
    const int sample_bytes = audio_format.channels * audio_format.bytes_per_sample;
    size_t samples = count / static_cast<size_t>(sample_bytes);
    audio_samples_in += static_cast<int64_t>(samples);
    if (audio.resampler) {
        return resample(bytes, static_cast<int>(samples));
    }
    while (samples > 0) {
        if (audio.fill == 0) {
            audio.frame->nb_samples = audio.chunk;
            if (!make_writable(audio.frame)) {
                return false;
            }
        }
        const size_t room = static_cast<size_t>(audio.chunk - audio.fill);
        const int n = static_cast<int>(samples < room ? samples : room);
        convert_samples(bytes, n);
        bytes += static_cast<size_t>(n) * static_cast<size_t>(sample_bytes);
        samples -= static_cast<size_t>(n);
        audio.fill += n;
        if (audio.fill == audio.chunk && !send_audio()) {
            return false;
        }
    }
    return true;
}

// The resampled sound ends where the picture does (or where the guest's
// sound did, without one): the resampler's last samples are cut there, or
// silence fills up to it.
static bool finish_resampled() {
    if (!resample(nullptr, 0)) {
        return false;
    }
    const int rate = audio.codec->sample_rate;
    const AVRational slot = has_video ? video.codec->time_base : AVRational{1, audio_format.rate};
    const int64_t units = has_video ? video.next_pts : audio_samples_in;
    int64_t left = units * slot.num * rate / slot.den - audio.next_pts;
    while (left > 0) {
        const int n = left < audio.chunk ? static_cast<int>(left) : audio.chunk;
        if (!make_writable(audio.frame)) {
            return false;
        }
        audio.frame->nb_samples = n;
        int got =
            av_audio_fifo_read(audio.resampled, reinterpret_cast<void **>(audio.frame->data), n);
        got = got < 0 ? 0 : got;
        silence_frame(got, n);
        audio.fill = n;
        if (!send_audio()) {
            return false;
        }
        left -= n;
    }
    return true;
}

// The rest of the samples (a last frame), the encoders' delayed packets, the
// trailer; the data is on the disk before the file may be renamed.
static bool close_file() {
    if (has_audio) {
        if (audio.resampler) {
            if (!finish_resampled()) {
                return false;
            }
        } else if (audio.fill > 0 && audio.pad_last_frame) {
            silence_frame(audio.fill, audio.chunk);
            audio.fill = audio.chunk;
        }
        if ((audio.fill > 0 && !send_audio()) || !encode(audio, nullptr)) {
            return false;
        }
    }
    if (has_video && !encode(video, nullptr)) {
        return false;
    }
    const int ret = av_write_trailer(output);
    if (ret < 0) {
        note_av("trailer", ret);
        return false;
    }
    if (failed.load()) {
        return false;
    }
    const int fd = file_fd;
    file_fd = -1;
    if (fsync(fd) != 0) {
        note_errno();
        close(fd);
        return false;
    }
    if (close(fd) != 0) {
        note_errno();
        return false;
    }
    return true;
}

// Never ends the process: a failure is noted, the producers waiting for a
// slot are woken to report it, and the thread ends.
static void *encoder_main(void *) {
    for (;;) {
        pthread_mutex_lock(&queue_mutex);
        while (queue_count == 0) {
            pthread_cond_wait(&queue_not_empty, &queue_mutex);
        }
        QueueItem *item = &queue_items[queue_head];
        pthread_mutex_unlock(&queue_mutex);
        // The process is ending on another thread: the file is not ours.
        if (aborting.load()) {
            break;
        }
        const uint32_t kind = item->kind;
        const bool ok = kind == item_frame    ? encode_picture(item->data, item->data + frame_bytes)
                        : kind == item_repeat ? repeat_picture()
                        : kind == item_audio  ? take_audio(item->data, item->size_bytes)
                                              : close_file();
        pthread_mutex_lock(&queue_mutex);
        if (!ok) {
            pthread_cond_broadcast(&queue_not_full);
            pthread_mutex_unlock(&queue_mutex);
            break;
        }
        queue_head = (queue_head + 1) % queue_slots;
        queue_count--;
        pthread_cond_signal(&queue_not_full);
        pthread_mutex_unlock(&queue_mutex);
        if (kind == item_end) {
            file_complete.store(true);
            break;
        }
    }
    encoder_done.store(true);
    return nullptr;
}

static void release_stream(OutputStream &os) {
    avcodec_free_context(&os.codec);
    av_frame_free(&os.frame);
    av_packet_free(&os.packet);
    av_packet_free(&os.last_packet);
    swr_free(&os.resampler);
    if (os.resampled) {
        av_audio_fifo_free(os.resampled);
    }
    if (os.resampler_out) {
        av_freep(&os.resampler_out[0]);
    }
    av_freep(&os.resampler_out);
    os = OutputStream{};
}

static void release_all() {
    release_stream(video);
    release_stream(audio);
    avformat_free_context(output);
    output = nullptr;
    av_freep(&output_io->buffer);
    avio_context_free(&output_io);
}

// The rename is durable only once the folder is synced: then a crash right
// after the closing line cannot lose the file. Should that sync fail, the
// complete file is already in place (the old one gone), so it stays.
static void sync_folder() {
    char folder[PATH_MAX];
    strcpy(folder, file_path);
    char *slash = strrchr(folder, '/');
    if (!slash) {
        strcpy(folder, ".");
    } else {
        slash[slash == folder ? 1 : 0] = '\0';
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const int error_number = errno;
        if (fd >= 0) {
            close(fd);
        }
        errno = error_number;
        fatal_errno("render %s", target_path);
    }
    if (close(fd) != 0) {
        fatal_errno("render %s", target_path);
    }
}

void encoder_finish() {
    require_started("finish");
    QueueItem *item = reserve_item();
    if (!item) {
        ended_elsewhere();
    }
    item->kind = item_end;
    publish_item();
    wait_for_encoder_thread();
    if (failed.load()) {
        report_failure();
    }
    if (aborting.load() || !file_complete.load()) {
        ended_elsewhere();
    }
    if (rename(temp_path, file_path) != 0) {
        fail_errno();
    }
    // encoder_abort ran meanwhile: the process is ending all the same.
    if (!temp_live.exchange(false)) {
        ended_elsewhere();
    }
    sync_folder();
    release_all();
    stage = stage_idle;
}

// Called by the exit handlers, on whatever thread met the fatal error, while
// the other threads may be parked anywhere: inside a write, or holding the
// queue's lock. So it takes no lock, wakes nobody (a condition variable's
// broadcast takes an internal lock a parked thread may hold), joins nothing
// and frees nothing: the file goes, and the encoder thread leaves the file
// alone from its next item on.
void encoder_abort() {
    aborting.store(true);
    remove_temporary();
}

uint64_t encoder_bytes_written() {
    return bytes_written.load(std::memory_order_relaxed);
}
