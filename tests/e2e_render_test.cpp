// Renders of the sample guest through the real host, with no display and no
// sound card, decoded again with Debian's ffmpeg and ffprobe and compared
// with what the guest draws and plays, computed here.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "machine/picture.h"
#include "support/melody.h"
#include "support/render_run.h"
#include "support/sample_run.h"

namespace {

// Forty plasma frames, with sound and muted, Fix (LE) and Party (PMW1): every
// frame is in the file, in order, at the demo's cadence, pixel for pixel, the
// last one too, although the guest leaves the moment it is shown; the sound
// is exactly as long as the picture.
TEST(Render, EveryFrameOnceInOrderPixelExactWithTheSoundExactlyAsLong) {
    std::vector<std::vector<uint8_t>> expected;
    for (int f = 0; f < 40; f++) {
        expected.push_back(screen_frame(f, f < 16 ? f * 4 : 64));
    }
    for (const bool party : {false, true}) {
        const bool mute = party;
        SCOPED_TRACE(party ? "Party, -mute" : "Fix, sound on");
        TempDir dir;
        prepare_sample_dir(dir, party, "frames 40\nnotes 0\nend-wait 0\n");
        std::vector<std::string> options = {"-render", "out.mkv"};
        if (mute) {
            options.push_back("-mute");
        }
        const ProcessResult r = render_sample(dir, options);
        ASSERT_EQ(r.exit_status, 0) << describe(r);
        EXPECT_NE(r.out.find(" 0 failed\n"), std::string::npos) << r.out;
        const std::string file = dir.file("out.mkv");
        EXPECT_EQ(probe(file, "v:0", "codec_name,width,height,sample_aspect_ratio"),
                  "codec_name=ffv1\nwidth=320\nheight=200\nsample_aspect_ratio=5:6\n");

        const std::vector<std::vector<uint8_t>> frames = decode_frames(dir, file);
        EXPECT_EQ(static_cast<int64_t>(frames.size()), rendered_count(r, "out.mkv", "frames"));
        // Black until the first frame, then each guest frame for a run of
        // slots, none left out.
        size_t k = 0;
        const std::vector<uint8_t> black(render_frame_rgb, 0);
        while (k < frames.size() && frames[k] == black) {
            k++;
        }
        int f = 1; // frame 0 is drawn in a black palette
        while (k < frames.size() && f < 40) {
            ASSERT_TRUE(frames[k] == expected[f]) << "slot " << k << " is not frame " << f;
            size_t run = 0;
            while (k < frames.size() && frames[k] == expected[f]) {
                k++;
                run++;
            }
            // At most one BIOS tick of slots (a note change ends it sooner).
            if (f < 39) {
                EXPECT_LE(run, 5u) << "frame " << f;
            }
            f++;
        }
        EXPECT_EQ(f, 40) << "frames missing";
        EXPECT_EQ(k, frames.size()) << "slots after the last frame that are not it";

        if (mute) {
            EXPECT_EQ(probe(file, "a", "codec_name"), "");
            continue;
        }
        const std::string audio = probe(file, "a:0", "codec_name,sample_rate,channels");
        EXPECT_NE(audio.find("codec_name=flac\n"), std::string::npos) << audio;
        const int64_t rate = probe_field(audio, "sample_rate");
        const int64_t channels = probe_field(audio, "channels");
        const std::vector<int16_t> samples = decode_audio(dir, file);
        // Frame n lies at n x 1796/125875 s: the sound covers all N slots.
        EXPECT_EQ(static_cast<int64_t>(samples.size()) / channels,
                  static_cast<int64_t>(frames.size()) * 1796 * rate / 125875);
    }
}

// The same render twice, once beside a busy CPU: identical files. An .mp4 of
// the same run is 1440x1080 and as long as its frames; a .wav holds exactly
// the .mkv's samples up to the demo's end.
TEST(Render, ReproducibleAndTheOtherContainers) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 20\n");
    ASSERT_EQ(render_sample(dir, {"-render", "a.mkv"}).exit_status, 0);
    const pid_t hog = fork();
    if (hog == 0) {
        for (;;) {
        }
    }
    const ProcessResult second = render_sample(dir, {"-render", "b.mkv"});
    kill(hog, SIGKILL);
    waitpid(hog, nullptr, 0);
    ASSERT_EQ(second.exit_status, 0) << describe(second);
    EXPECT_TRUE(read_bytes(dir.file("a.mkv")) == read_bytes(dir.file("b.mkv")));

    const ProcessResult mp4 = render_sample(dir, {"-render", "c.mp4"});
    ASSERT_EQ(mp4.exit_status, 0) << describe(mp4);
    const std::string video = probe(dir.file("c.mp4"), "v:0", "codec_name,width,height,nb_frames");
    EXPECT_NE(video.find("codec_name=h264\nwidth=1440\nheight=1080\n"), std::string::npos) << video;
    EXPECT_EQ(probe_field(video, "nb_frames"), rendered_count(mp4, "c.mp4", "frames"));
    const std::string audio = probe(dir.file("c.mp4"), "a:0", "codec_name");
    EXPECT_EQ(audio, "codec_name=aac\n");

    const ProcessResult wav = render_sample(dir, {"-render", "d.wav"});
    ASSERT_EQ(wav.exit_status, 0) << describe(wav);
    const std::vector<int16_t> wav_samples = decode_audio(dir, dir.file("d.wav"));
    const std::vector<int16_t> mkv_samples = decode_audio(dir, dir.file("a.mkv"));
    EXPECT_EQ(static_cast<int64_t>(wav_samples.size()) / 2,
              rendered_count(wav, "d.wav", "samples"));
    ASSERT_LE(wav_samples.size(), mkv_samples.size());
    EXPECT_TRUE(std::equal(wav_samples.begin(), wav_samples.end(), mkv_samples.begin()));

    // At 30 frames a second, frame k is the latest the demo showed at or
    // before k/30 s: the native stream's slot floor(k x 125875 / (30 x 1796)).
    ASSERT_EQ(render_sample(dir, {"-render", "e.mkv", "-fps", "30"}).exit_status, 0);
    const std::vector<std::vector<uint8_t>> native = decode_frames(dir, dir.file("a.mkv"));
    const std::vector<std::vector<uint8_t>> thirty = decode_frames(dir, dir.file("e.mkv"));
    ASSERT_GT(thirty.size(), 10u);
    for (size_t k = 0; k < thirty.size(); k++) {
        const size_t j = k * 125875 / (30 * 1796);
        ASSERT_LT(j, native.size());
        EXPECT_TRUE(thirty[k] == native[j]) << "frame " << k << " is not native slot " << j;
    }
    EXPECT_EQ(render_outputs(dir), (std::vector<std::string>{"a.mkv", "audio.raw", "b.mkv", "c.mp4",
                                                             "d.wav", "e.mkv", "frames.rgb"}));
}

// The size and digest of each of one stream's frames in a framemd5 listing,
// without the timestamps (Matroska rounds them to milliseconds).
std::vector<std::string> listed(const std::string &listing, char stream) {
    std::vector<std::string> frames;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 2 && line[0] == stream && line[1] == ',') {
            frames.push_back(line.substr(line.rfind(',', line.rfind(',') - 1)));
        }
    }
    return frames;
}

// The top-level boxes of an MP4 file, in order.
std::string boxes(const std::vector<unsigned char> &file) {
    std::string names;
    for (size_t at = 0; at + 8 <= file.size();) {
        const uint32_t size = static_cast<uint32_t>(file[at] << 24 | file[at + 1] << 16 |
                                                    file[at + 2] << 8 | file[at + 3]);
        names += std::string(file.begin() + at + 4, file.begin() + at + 8) + " ";
        if (size < 8) {
            break;
        }
        at += size;
    }
    return names;
}

// The master as an archive takes it: both tracks default, the picture
// tagged sRGB, the tags, MediaConch's checks, and a .framemd5 of the same
// run with the same digests as FFmpeg's listing of the master. The upload:
// its index first, AAC at 48 kHz as long as the picture, the title, and a
// luma close to the host's own scaling of the master's pictures.
TEST(Render, TheMasterAndTheUploadAsArchivesAndSitesTakeThem) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 20\n");
    ASSERT_EQ(render_sample(dir, {"-render", "a.mkv", "-seconds", "30"}).exit_status, 0);
    const std::string mkv = dir.file("a.mkv");
    EXPECT_EQ(probe(mkv, "v:0",
                    "color_range,color_space,color_transfer,color_primaries:stream_disposition="
                    "default"),
              "color_range=pc\ncolor_space=gbr\ncolor_transfer=iec61966-2-1\n"
              "color_primaries=bt709\nDISPOSITION:default=1\n");
    EXPECT_EQ(probe(mkv, "a:0", "codec_name:stream_disposition=default"),
              "codec_name=flac\nDISPOSITION:default=1\n");
    const std::string version = media_tool({sample_host(), "--version"});
    const std::string md5 = media_tool({"/usr/bin/md5sum", dir.file("lumox.exe")}).substr(0, 32);
    EXPECT_EQ(media_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                          "default=nw=1", mkv}),
              "TAG:title=Lumox (Fix)\nTAG:ENCODER=" + version +
                  "TAG:ENCODER_SETTINGS=-fps 125875/1796 -seconds 30\nTAG:SOURCE_MD5=" + md5 +
                  "\n");
    const ProcessResult conch = run_process({"/usr/bin/mediaconch", mkv}, "/tmp", {}, 120000);
    EXPECT_EQ(conch.out.rfind("pass! " + mkv, 0), 0u) << conch.out << conch.err;

    ASSERT_EQ(render_sample(dir, {"-render", "a.framemd5", "-seconds", "30"}).exit_status, 0);
    const std::vector<unsigned char> listing = read_bytes(dir.file("a.framemd5"));
    const std::string ours(listing.begin(), listing.end());
    const std::string ffmpeg =
        media_tool({"/usr/bin/ffmpeg", "-v", "error", "-i", mkv, "-f", "framemd5", "-"});
    EXPECT_GT(listed(ours, '0').size(), 20u);
    EXPECT_EQ(listed(ours, '0'), listed(ffmpeg, '0'));
    EXPECT_EQ(listed(ours, '1'), listed(ffmpeg, '1'));

    ASSERT_EQ(render_sample(dir, {"-render", "a.mp4", "-seconds", "30"}).exit_status, 0);
    const std::string mp4 = dir.file("a.mp4");
    EXPECT_EQ(boxes(read_bytes(mp4)).substr(0, 10), "ftyp moov ");
    const std::string audio = probe(mp4, "a:0", "codec_name,sample_rate,duration");
    const std::string video = probe(mp4, "v:0", "duration");
    EXPECT_EQ(audio.substr(0, 33), "codec_name=aac\nsample_rate=48000\n");
    const double audio_s = std::stod(audio.substr(audio.find("duration=") + 9));
    const double video_s = std::stod(video.substr(video.find("duration=") + 9));
    EXPECT_NEAR(audio_s, video_s, 0.001);
    EXPECT_EQ(media_tool({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format_tags=title",
                          "-of", "default=nw=1", mp4}),
              "TAG:title=Lumox (Fix)\n");

    // The upload's luma against BT.709's of the master's pictures, scaled by
    // the host's own layout.
    const std::vector<std::vector<uint8_t>> master = decode_frames(dir, mkv);
    const std::string raw = dir.file("upload.yuv");
    media_tool({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", mp4, "-f", "rawvideo", "-pix_fmt",
                "yuv420p", raw});
    const std::vector<unsigned char> upload = read_bytes(raw);
    constexpr int w = 1440, h = 1080;
    constexpr size_t frame_yuv = w * h * 3 / 2;
    ASSERT_EQ(upload.size(), master.size() * frame_yuv);
    PictureLayout layout;
    lay_out_picture(layout, w, h, false);
    double squared = 0;
    int64_t count = 0;
    for (size_t f = 0; f < master.size(); f += 7) {
        for (int y = 0; y < 200; y++) {
            for (int x = 0; x < 320; x++) {
                const uint8_t *rgb = &master[f][3 * (y * 320 + x)];
                const double luma =
                    16 + (0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]) * 219 / 255;
                for (int r = layout.row_start[y]; r < layout.row_start[y + 1]; r++) {
                    for (int c = layout.column_start[x]; c < layout.column_start[x + 1]; c++) {
                        const double d = upload[f * frame_yuv + r * w + c] - luma;
                        squared += d * d;
                        count++;
                    }
                }
            }
        }
    }
    const double psnr = 10 * std::log10(255.0 * 255.0 * count / squared);
    EXPECT_GT(psnr, 40.0);
    printf("the upload's luma: PSNR %.1f dB\n", psnr);
}

// The sample shows the note it is playing: over the whole run, each note's
// first frame follows its sound within one frame slot (plus the poll's 5 ms
// in which the guest sees the change). A guest that busy-waits on its music
// without calling the host still gets there: the render moves time on and
// says so.
TEST(Render, EveryNoteOnsetIsInStepWithItsSoundAndABusyWaitDoesNotHang) {
    TempDir dir;
    prepare_sample_dir(dir, false, "frames 130\n");
    const ProcessResult r = render_sample(dir, {"-render", "out.mkv"});
    ASSERT_EQ(r.exit_status, 0) << describe(r);
    EXPECT_EQ(r.err.find("moved on by itself"), std::string::npos) << r.err;
    const std::vector<std::vector<uint8_t>> frames = decode_frames(dir, dir.file("out.mkv"));
    const std::vector<int16_t> audio = decode_audio(dir, dir.file("out.mkv"));
    const int rate = static_cast<int>(
        probe_field(probe(dir.file("out.mkv"), "a:0", "sample_rate"), "sample_rate"));
    const double slot_s = 1796.0 / 125875;
    int onsets = 0;
    for (size_t k = 1; k < frames.size(); k++) {
        const int before = sample_note_shown_rgb(frames[k - 1]);
        const int now = sample_note_shown_rgb(frames[k]);
        if (before < 0 || now < 0 || now == before) {
            continue;
        }
        ASSERT_EQ(now, (before + 1) % 8) << "slot " << k;
        const double shown_s = k * slot_s;
        const double sound_s =
            static_cast<double>(
                note_onset(audio, rate, before, now, static_cast<int64_t>(shown_s * rate))) /
            rate;
        EXPECT_GE(shown_s - sound_s, -0.001) << "note " << now << " shown before it sounds";
        EXPECT_LE(shown_s - sound_s, slot_s + 0.006) << "note " << now << " shown late";
        onsets++;
    }
    EXPECT_GE(onsets, 15);

    prepare_sample_dir(dir, false, "frames 40\nspin 20\n");
    const ProcessResult spun = render_sample(dir, {"-render", "spin.mkv"});
    ASSERT_EQ(spun.exit_status, 0) << describe(spun);
    EXPECT_NE(spun.err.find("; demo time moved on by itself "), std::string::npos) << spun.err;
    EXPECT_EQ(static_cast<int64_t>(decode_frames(dir, dir.file("spin.mkv")).size()),
              rendered_count(spun, "spin.mkv", "frames"));
}

// Waits until the render has written frames into its temporary, beyond the
// header (which may come before the signal handlers are set): writes come
// in the encoder's buffers of 256 KiB.
void wait_for_writes(const TempDir &dir, const std::string &target) {
    for (int waited_ms = 0; waited_ms < 60000; waited_ms += 10) {
        for (const std::string &name : render_outputs(dir)) {
            struct stat st;
            if (name.rfind(target + ".partial-", 0) == 0 &&
                stat(dir.file(name).c_str(), &st) == 0 && st.st_size > 64 * 1024) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no writes into a temporary for " << target;
}

// -seconds hands the guest an Escape at that demo time: its own fade is the
// end of the file. A SIGINT that the shell left ignored stays so (a script's
// background render goes on). Ctrl-C ends a render early with a file that
// plays up to it.
TEST(Render, SecondsEndsThroughTheDemosFadeAndAnInterruptStillFinishesTheFile) {
    TempDir dir;
    prepare_sample_dir(dir, false, "hold 24\nnotes 0\n");
    signal(SIGINT, SIG_IGN);
    Child ignoring =
        start_sample(dir, {"-render", "out.mkv", "-seconds", "2", "-mute"}, render_headless);
    signal(SIGINT, SIG_DFL);
    wait_for_writes(dir, "out.mkv");
    kill(ignoring.pid, SIGINT);
    const ProcessResult r = finish_child(ignoring, 240000);
    ASSERT_EQ(r.exit_status, 0) << describe(r);
    const std::vector<std::vector<uint8_t>> frames = decode_frames(dir, dir.file("out.mkv"));
    const double length_s = frames.size() * 1796.0 / 125875;
    EXPECT_GT(length_s, 2.0);
    EXPECT_LT(length_s, 3.0);
    // Until the Escape, the held frame; then it fades to black, level by
    // level in steps of 8, as the guest's fade does.
    const size_t escape_slot = static_cast<size_t>(2.0 * 125875 / 1796) + 1;
    ASSERT_GT(frames.size(), escape_slot);
    EXPECT_TRUE(frames[escape_slot - 1] == screen_frame(24, 64));
    size_t k = escape_slot;
    for (int level = 56; level > 0; level -= 8) {
        const std::vector<uint8_t> faded = screen_frame(24, level);
        while (k < frames.size() && frames[k] != faded) {
            k++;
        }
        EXPECT_LT(k, frames.size()) << "no frame at fade level " << level;
    }
    EXPECT_TRUE(frames.back() == std::vector<uint8_t>(render_frame_rgb, 0));

    TempDir endless;
    prepare_sample_dir(endless, false, "hold 1\nnotes 0\n");
    Child child = start_sample(endless, {"-render", "out.mkv"}, render_headless);
    wait_for_writes(endless, "out.mkv");
    kill(child.pid, SIGINT);
    const ProcessResult stopped = finish_child(child, 60000);
    EXPECT_EQ(stopped.exit_status, 128 + SIGINT) << describe(stopped);
    // Every slot up to the interrupt: black, then the held frame as it fades
    // in, level by level, to the last; and the sound exactly as long.
    const std::string file = endless.file("out.mkv");
    const std::vector<std::vector<uint8_t>> held = decode_frames(endless, file);
    EXPECT_EQ(static_cast<int64_t>(held.size()), rendered_count(stopped, "out.mkv", "frames"));
    k = 0;
    while (k < held.size() && held[k] == std::vector<uint8_t>(render_frame_rgb, 0)) {
        k++;
    }
    ASSERT_LT(k, held.size()) << "the held frame is not in the file";
    int level = 4;
    std::vector<uint8_t> faded = screen_frame(1, level);
    for (; k < held.size(); k++) {
        while (held[k] != faded && level < 64) {
            faded = screen_frame(1, level += 4);
        }
        ASSERT_TRUE(held[k] == faded) << "slot " << k << " is not the held frame";
    }
    const int64_t rate = probe_field(probe(file, "a:0", "sample_rate"), "sample_rate");
    EXPECT_EQ(static_cast<int64_t>(decode_audio(endless, file).size()) / 2,
              static_cast<int64_t>(held.size()) * 1796 * rate / 125875);
}

// Each fault is one line and exit status 1, before the guest runs or while it
// runs, and leaves nothing under the target's name (a file already there
// is kept) and no temporary beside it.
TEST(Render, FaultsAreOneLineAndLeaveNoFile) {
    struct Fault {
        std::vector<std::string> options;
        std::string message; // the start of stderr
        std::vector<std::string> env;
        std::string script = "frames 200\n";
    };
    const std::string probe_lib = preload_env(sample_build_dir() + "/tests/no_encoder_probe.so");
    const Fault faults[] = {
        {{"-render", "keep.avi"}, "render keep.avi: unknown file type", {}},
        {{"-render", "no/such/keep.mkv"}, "render no/such/keep.mkv: No such file or directory", {}},
        {{"-render", "keep.mkv", "-fps", "0"}, "fps 0: not a frame rate", {}},
        {{"-render", "keep.mkv", "-fps", "60/0"}, "fps 60/0: not a frame rate", {}},
        {{"-render", "keep.mkv", "-fps", "1/2"}, "fps 1/2: not a frame rate", {}},
        {{"-render", "keep.mkv", "-fps", "25fps"}, "fps 25fps: not a frame rate", {}},
        {{"-render", "keep.wav", "-mute"}, "render keep.wav: -mute leaves no sound", {}},
        {{"-seconds", "5"}, "render: -seconds needs -render FILE", {}},
        {{"-render", "keep.mkv"}, "render: no encoder ffv1", {probe_lib, "LUMOX_NO_ENCODER=ffv1"}},
        // A music pass fails mid-render: the exit must not finish the file.
        {{"-render", "keep.mkv"}, "midas", {}, "frames 200\nerror 1\n"},
    };
    for (const Fault &fault : faults) {
        std::string args;
        for (const std::string &o : fault.options) {
            args += " " + o;
        }
        SCOPED_TRACE(args);
        TempDir dir;
        prepare_sample_dir(dir, false, fault.script);
        for (const char *name : {"keep.mkv", "keep.wav", "keep.avi"}) {
            write_bytes(dir.file(name), {'o', 'l', 'd'});
        }
        std::vector<std::string> env = render_headless;
        env.insert(env.end(), fault.env.begin(), fault.env.end());
        const ProcessResult r = render_sample(dir, fault.options, env);
        EXPECT_EQ(r.exit_status, 1) << describe(r);
        // The host's one line, beside what the guest itself wrote there.
        std::string host_lines;
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("sample: ", 0) != 0) {
                host_lines += line + "\n";
            }
        }
        EXPECT_EQ(host_lines.rfind(fault.message, 0), 0u) << r.err;
        EXPECT_EQ(std::count(host_lines.begin(), host_lines.end(), '\n'), 1) << r.err;
        EXPECT_EQ(render_outputs(dir),
                  (std::vector<std::string>{"keep.avi", "keep.mkv", "keep.wav"}));
        EXPECT_TRUE(read_bytes(dir.file("keep.mkv")) ==
                    std::vector<unsigned char>({'o', 'l', 'd'}));
    }
}

} // namespace
