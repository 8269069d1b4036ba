// LOCAL STUB, not committed.
#include "render/encoder.h"
#include <cstdio>
#include <cstring>
#include <string>
static const RenderContainer rows[] = {{".mkv", "matroska", "ffv1", "flac", true}, {".mp4", "mp4", "libx264", "aac", false}, {".wav", "wav", nullptr, nullptr, true}, {".flac", "flac", nullptr, "flac", true}};
static const char *out_path; static long frames, bytes; static FILE *raw;
const RenderContainer *render_container_for(const char *path) { size_t n = strlen(path); for (auto &r : rows) { size_t e = strlen(r.extension); if (n > e && strcmp(path + n - e, r.extension) == 0) return &r; } return nullptr; }
void encoder_prepare(const char *path, const RenderContainer *, const RenderVideoFormat *) { out_path = path; std::string p = std::string(path) + ".raw"; raw = fopen(p.c_str(), "wb"); }
void encoder_start(const RenderAudioFormat *a) { fprintf(stderr, "stub start audio %d\n", a ? a->rate : 0); }
void encoder_video_frame(const uint8_t *pixels, const uint8_t *) { frames++; fwrite(pixels, 64000, 1, raw); }
void encoder_audio(const uint8_t *, size_t count) { bytes += count; }
void encoder_finish() { fclose(raw); FILE *f = fopen(out_path, "w"); fprintf(f, "frames %ld audio_bytes %ld\n", frames, bytes); fclose(f); }
void encoder_abort() {}
uint64_t encoder_bytes_written() { return frames * 64000; }
