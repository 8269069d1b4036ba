// The render's encoder through its public calls: each container written from
// synthetic frames and samples, decoded with libavformat and compared with
// what went in.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "render/encoder.h"
#include "shell/fatal.h"
#include "support/process.h"

namespace {

constexpr RenderVideoFormat native_43{1440, 1080, false, 125875, 1796};

// Frame k holds all 256 colours, in a pattern and a palette that both move
// with k: a stale or shifted palette, or a frame taken twice, shows. With
// repeats, the pixels move every third frame and the palette every second:
// a frame the same as the one before, one with only a new palette, and one
// with only new pixels.
bool repeats = false;
bool is_repeat(int k) {
    return k > 0 && k / 3 == (k - 1) / 3 && k / 2 == (k - 1) / 2;
}
void make_frame(int k, std::vector<uint8_t> &pixels, std::vector<uint8_t> &palette) {
    const int p = repeats ? k / 3 : k, q = repeats ? k / 2 : k;
    pixels.resize(64000);
    palette.resize(1024);
    for (int i = 0; i < 64000; i++) {
        pixels[i] = static_cast<uint8_t>(i % 320 + i / 320 * 3 + p * 7);
    }
    for (int c = 0; c < 256; c++) {
        palette[4 * c] = static_cast<uint8_t>(c + q);
        palette[4 * c + 1] = static_cast<uint8_t>(c * 5 + 3 * q);
        palette[4 * c + 2] = static_cast<uint8_t>(255 - c);
    }
}

// Sample n of channel c: 8-bit unsigned or 16-bit signed, over the whole range.
int sample_value(int64_t n, int c, int bytes) {
    return bytes == 1 ? static_cast<uint8_t>(n * 7 + c * 100)
                      : static_cast<int16_t>(n * 997 + c * 13000);
}

int64_t samples_due(int frames, const RenderVideoFormat &v, int rate) {
    return frames * rate * v.rate_den / v.rate_num;
}

// frames frames, and after each the samples its slot completes.
void render(const std::string &path, const RenderVideoFormat &video, const RenderAudioFormat *audio,
            int frames) {
    encoder_prepare(path.c_str(), render_container_for(path.c_str()), &video);
    encoder_start(audio);
    std::vector<uint8_t> pixels, palette, bytes;
    int64_t sent = 0;
    for (int k = 0; k < frames; k++) {
        make_frame(k, pixels, palette);
        encoder_video_frame(pixels.data(), palette.data());
        if (!audio) {
            continue;
        }
        bytes.clear();
        for (; sent < samples_due(k + 1, video, audio->rate); sent++) {
            for (int c = 0; c < audio->channels; c++) {
                const int v = sample_value(sent, c, audio->bytes_per_sample);
                bytes.push_back(static_cast<uint8_t>(v));
                if (audio->bytes_per_sample == 2) {
                    bytes.push_back(static_cast<uint8_t>(v >> 8));
                }
            }
        }
        encoder_audio(bytes.data(), bytes.size());
    }
    encoder_finish();
}

struct Decoded {
    std::string video_codec, audio_codec;
    int width = 0, height = 0;
    AVRational sar{0, 1};
    int frames = 0;
    int inexact_frames = 0;  // native pictures not equal pixel for pixel
    int mistimed_frames = 0; // not at Matroska's millisecond of their slot
    double video_seconds = 0;
    int64_t samples = 0;
    int64_t wrong_samples = 0;                       // lossless audio not equal to what went in
    std::vector<std::vector<uint8_t>> video_packets; // in decoding order
};

void check_frame(Decoded &d, const AVFrame *f, const RenderVideoFormat &v, AVRational tb) {
    const int n = d.frames++;
    if (d.video_codec != "ffv1") {
        return;
    }
    std::vector<uint8_t> pixels, palette;
    make_frame(n, pixels, palette);
    bool exact = f->format == AV_PIX_FMT_0RGB32;
    for (int i = 0; exact && i < 64000; i++) {
        const uint8_t *got = f->data[0] + (i / 320) * f->linesize[0] + (i % 320) * 4;
        const uint8_t *want = &palette[4 * pixels[i]];
        exact = got[0] == want[2] && got[1] == want[1] && got[2] == want[0];
    }
    d.inexact_frames += !exact;
    const int64_t ms = (2 * n * 1000 * v.rate_den + v.rate_num) / (2 * v.rate_num);
    d.mistimed_frames += tb.num != 1 || tb.den != 1000 || f->pts != ms;
}

void check_samples(Decoded &d, const AVFrame *f, int bytes) {
    const int channels = f->ch_layout.nb_channels;
    for (int i = 0; f->format != AV_SAMPLE_FMT_FLTP && i < f->nb_samples * channels; i++) {
        int got = f->data[0][i];
        if (f->format == AV_SAMPLE_FMT_S16) {
            const int16_t s = reinterpret_cast<const int16_t *>(f->data[0])[i];
            got = bytes == 2 ? s : (s & 0xFF) ? -1 : (s >> 8) + 128;
        }
        d.wrong_samples += got != sample_value(d.samples + i / channels, i % channels, bytes);
    }
    d.samples += f->nb_samples;
}

Decoded decode(const std::string &path, const RenderVideoFormat &v, int bytes) {
    Decoded d;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) != 0 ||
        avformat_find_stream_info(fmt, nullptr) < 0) {
        ADD_FAILURE() << "cannot read " << path;
        return d;
    }
    std::vector<AVCodecContext *> dec(fmt->nb_streams);
    for (unsigned s = 0; s < fmt->nb_streams; s++) {
        const AVStream *st = fmt->streams[s];
        const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
        dec[s] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(dec[s], st->codecpar);
        EXPECT_EQ(avcodec_open2(dec[s], codec, nullptr), 0);
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            d.video_codec = codec->name;
            d.width = st->codecpar->width;
            d.height = st->codecpar->height;
            d.sar = st->sample_aspect_ratio;
            d.video_seconds = static_cast<double>(st->duration) * av_q2d(st->time_base);
        } else {
            d.audio_codec = codec->name;
        }
    }
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&](unsigned s) {
        while (avcodec_receive_frame(dec[s], frame) == 0) {
            if (dec[s]->codec_type == AVMEDIA_TYPE_VIDEO) {
                check_frame(d, frame, v, fmt->streams[s]->time_base);
            } else {
                check_samples(d, frame, bytes);
            }
        }
    };
    while (av_read_frame(fmt, packet) >= 0) {
        const unsigned s = static_cast<unsigned>(packet->stream_index);
        if (dec[s]->codec_type == AVMEDIA_TYPE_VIDEO) {
            d.video_packets.emplace_back(packet->data, packet->data + packet->size);
        }
        avcodec_send_packet(dec[s], packet);
        av_packet_unref(packet);
        drain(s);
    }
    for (unsigned s = 0; s < fmt->nb_streams; s++) {
        avcodec_send_packet(dec[s], nullptr);
        drain(s);
        avcodec_free_context(&dec[s]);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&fmt);
    return d;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RenderEncoder, MatroskaIsPixelExactExactlyTimedAndLossless) {
    TempDir dir;
    umask(022);
    const RenderAudioFormat stereo16{44100, 2, 2};
    render(dir.file("a.mkv"), native_43, &stereo16, 40);
    struct stat st;
    ASSERT_EQ(stat(dir.file("a.mkv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    Decoded d = decode(dir.file("a.mkv"), native_43, 2);
    EXPECT_EQ(d.video_codec, "ffv1");
    EXPECT_EQ(d.audio_codec, "flac");
    EXPECT_EQ(d.width * 1000 + d.height, 320200);
    EXPECT_EQ(d.sar.num * 10 + d.sar.den, 56);
    EXPECT_EQ(d.frames, 40);
    EXPECT_EQ(d.inexact_frames, 0);
    EXPECT_EQ(d.mistimed_frames, 0);
    EXPECT_EQ(d.samples, samples_due(40, native_43, 44100));
    EXPECT_EQ(d.wrong_samples, 0);

    // Square pixels, another frame rate, the 8-bit mono sound of a guest
    // that asks for it.
    const RenderVideoFormat square_ntsc{0, 0, true, 60000, 1001};
    const RenderAudioFormat mono8{22050, 1, 1};
    render(dir.file("c.mkv"), square_ntsc, &mono8, 25);
    d = decode(dir.file("c.mkv"), square_ntsc, 1);
    EXPECT_EQ(d.sar.num * 10 + d.sar.den, 11);
    EXPECT_EQ(d.frames, 25);
    EXPECT_EQ(d.inexact_frames, 0);
    EXPECT_EQ(d.mistimed_frames, 0);
    EXPECT_EQ(d.samples, samples_due(25, square_ntsc, 22050));
    EXPECT_EQ(d.wrong_samples, 0);
    EXPECT_EQ(names_in(dir.path).size(), 2u) << "a temporary file was left";
}

// A frame the same as the one before: FFV1's packet once more, at its own
// slot's time, and still the right picture; x264 gets the picture again and
// codes it as a skip. A frame with only a new palette, or only new pixels,
// is a new picture.
TEST(RenderEncoder, ARepeatedFrameIsThePacketBeforeAtItsOwnTime) {
    TempDir dir;
    repeats = true;
    const RenderAudioFormat stereo16{44100, 2, 2};
    render(dir.file("a.mkv"), native_43, &stereo16, 30);
    render(dir.file("a.mp4"), native_43, &stereo16, 30);
    const Decoded mkv = decode(dir.file("a.mkv"), native_43, 2);
    const Decoded mp4 = decode(dir.file("a.mp4"), native_43, 2);
    repeats = false;
    EXPECT_EQ(mkv.inexact_frames, 0);
    EXPECT_EQ(mkv.mistimed_frames, 0);
    ASSERT_EQ(mkv.video_packets.size(), 30u);
    ASSERT_EQ(mp4.video_packets.size(), 30u);
    for (int k = 1; k < 30; k++) {
        EXPECT_EQ(mkv.video_packets[k] == mkv.video_packets[k - 1], is_repeat(k)) << "slot " << k;
        if (is_repeat(k)) {
            EXPECT_LT(mp4.video_packets[k].size() * 100, mp4.video_packets[0].size())
                << "slot " << k;
        }
    }
}

TEST(RenderEncoder, ScaledMp4AndTheAudioAlone) {
    TempDir dir;
    const RenderAudioFormat stereo16{44100, 2, 2};
    render(dir.file("a.mp4"), native_43, &stereo16, 10);
    Decoded d = decode(dir.file("a.mp4"), native_43, 2);
    EXPECT_EQ(d.video_codec, "h264");
    EXPECT_EQ(d.audio_codec, "aac");
    EXPECT_EQ(d.width * 10000 + d.height, 14401080);
    EXPECT_EQ(d.frames, 10);
    EXPECT_NEAR(d.video_seconds, 10 * 1796 / 125875.0, 1e-6);

    // The guest's own PCM, and FLAC; the frames are ignored.
    const RenderAudioFormat mono8{11025, 1, 1};
    render(dir.file("a.wav"), native_43, &mono8, 30);
    render(dir.file("a.flac"), native_43, &stereo16, 30);
    d = decode(dir.file("a.wav"), native_43, 1);
    EXPECT_EQ(d.audio_codec + d.video_codec, "pcm_u8");
    EXPECT_EQ(d.samples, samples_due(30, native_43, 11025));
    EXPECT_EQ(d.wrong_samples, 0);
    d = decode(dir.file("a.flac"), native_43, 2);
    EXPECT_EQ(d.audio_codec + d.video_codec, "flac");
    EXPECT_EQ(d.samples, samples_due(30, native_43, 44100));
    EXPECT_EQ(d.wrong_samples, 0);

    EXPECT_EQ(render_container_for("x.MKV"), nullptr);
    EXPECT_EQ(render_container_for("dir.mkv/x"), nullptr);
    EXPECT_EQ(render_container_for(".mkv"), nullptr);
}

// A size limit that the file passes mid-render, or only in the finish's last
// writes, and a folder the user may not write in: one line each, and nothing
// left but what was there.
TEST(RenderEncoderDeathTest, WriteErrorsLeaveNoFileAndKeepTheOldOne) {
    TempDir dir;
    const std::string target = dir.file("out.mkv");
    const RenderAudioFormat stereo16{44100, 2, 2};
    render(target, native_43, &stereo16, 10);
    const rlim_t whole_bytes = read_bytes(target).size();
    write_bytes(target, {'o', 'l', 'd'});
    auto past_the_limit = [&](rlim_t limit_bytes, int frames) {
        atexit(encoder_abort);
        const rlimit limit{limit_bytes, limit_bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
        render(target, native_43, &stereo16, frames);
    };
    EXPECT_EXIT(past_the_limit(256 * 1024, 2000), testing::ExitedWithCode(1),
                "^render " + target + ": File too large\n$");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"out.mkv"});
    EXPECT_EQ(read_bytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));
    // The same render a byte short: only the trailer crosses the limit.
    EXPECT_EXIT(past_the_limit(whole_bytes - 1, 10), testing::ExitedWithCode(1),
                "^render " + target + ": File too large\n$");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"out.mkv"});
    EXPECT_EQ(read_bytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));

    // A fatal error elsewhere while the encoder thread works: the exit
    // handler must not wait for it.
    auto guest_fault = [&] {
        atexit(encoder_abort);
        encoder_prepare(target.c_str(), render_container_for(target.c_str()), &native_43);
        encoder_start(&stereo16);
        std::vector<uint8_t> pixels, palette;
        for (int k = 0; k < 20; k++) {
            make_frame(k, pixels, palette);
            encoder_video_frame(pixels.data(), palette.data());
        }
        fatal("guest fault");
    };
    EXPECT_EXIT(guest_fault(), testing::ExitedWithCode(1), "^guest fault\n$");
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"out.mkv"});

    const std::string locked = dir.file("locked");
    mkdir(locked.c_str(), 0555);
    chmod(dir.path.c_str(), 0755);
    EXPECT_EXIT(
        {
            // Root writes anywhere: the folder is tried as nobody.
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(2);
            }
            render(locked + "/out.mkv", native_43, &stereo16, 1);
        },
        testing::ExitedWithCode(1), "^render " + locked + "/out.mkv: Permission denied\n$");
    EXPECT_TRUE(names_in(locked).empty());
}

// A link at the target is written through to the file it names, which
// keeps its mode; a link to nothing or to a folder is refused.
TEST(RenderEncoderDeathTest, ALinkIsWrittenThroughAndTheFileKeepsItsMode) {
    TempDir dir;
    umask(022);
    mkdir(dir.file("takes").c_str(), 0755);
    write_bytes(dir.file("takes/one.mkv"), {'o', 'l', 'd'});
    chmod(dir.file("takes/one.mkv").c_str(), 0600);
    const std::string link = dir.file("latest.mkv");
    ASSERT_EQ(symlink("takes/one.mkv", link.c_str()), 0);
    render(link, native_43, nullptr, 3);
    char named[64] = {};
    EXPECT_EQ(readlink(link.c_str(), named, sizeof named - 1), 13);
    EXPECT_STREQ(named, "takes/one.mkv");
    struct stat st;
    ASSERT_EQ(stat(dir.file("takes/one.mkv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(decode(link, native_43, 2).frames, 3);
    EXPECT_EQ(names_in(dir.file("takes")), std::vector<std::string>{"one.mkv"});

    ASSERT_EQ(symlink("takes/none.mkv", dir.file("dangling.mkv").c_str()), 0);
    ASSERT_EQ(symlink("takes", dir.file("folder.mkv").c_str()), 0);
    EXPECT_EXIT(render(dir.file("dangling.mkv"), native_43, nullptr, 1), testing::ExitedWithCode(1),
                "^render " + dir.file("dangling.mkv") + ": No such file or directory\n$");
    EXPECT_EXIT(render(dir.file("folder.mkv"), native_43, nullptr, 1), testing::ExitedWithCode(1),
                "^render " + dir.file("folder.mkv") + ": not a regular file\n$");
    EXPECT_EQ(names_in(dir.path),
              (std::vector<std::string>{"dangling.mkv", "folder.mkv", "latest.mkv", "takes"}));
    EXPECT_EQ(names_in(dir.file("takes")), std::vector<std::string>{"one.mkv"});
}

} // namespace
