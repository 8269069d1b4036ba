// The screenshot key on a real window: the files decode to the held frame and
// palette computed here, numbers rise and never overwrite, and a working
// directory where nothing can be created costs a warning, not the demo.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/png_file.h"
#include "support/sample_run.h"

namespace {

const std::string farewell = "\nHave a nice day\n";

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string text_of(const std::string &path) {
    const std::vector<unsigned char> bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool wait_for_text(const std::string &path, const std::string &text) {
    for (int waited = 0; waited < 10000; waited += 50, sleep_ms(50)) {
        if (text_of(path).find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The immutable attribute stops even root from creating files in a
// directory; false where the file system or the capabilities refuse it.
bool set_immutable(const std::string &path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
}

void expect_held_frame(const std::string &path) {
    const PngFile png = read_png(path);
    ASSERT_EQ(png.error, "") << path;
    EXPECT_EQ(png.width * 1000 + png.height, 320200u);
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.color_type, 3) << "indexed colour";
    EXPECT_TRUE(png.pixels == sample_frame(24)) << "pixels differ from the held frame";
    EXPECT_TRUE(png.palette == sample_screen_palette()) << "palette differs";
    EXPECT_TRUE(png.has_aspect && png.x_per_unit == 6 && png.y_per_unit == 5 && png.unit == 0)
        << "pHYs " << png.x_per_unit << ":" << png.y_per_unit << " unit " << png.unit;
}

struct Shot : testing::Test {
    Xvfb x;
    TempDir dir;      // output files, and the working directory unless work is set
    std::string work; // the working directory, when not dir
    std::string script = "hold 24\nnotes 0\n";
    bool immutable = false;
    Child child;
    std::string window;

    void start() {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        const std::string at = work.empty() ? dir.path : work;
        write_bytes(at + "/lumox.exe", read_bytes(sample_image(false)));
        write_bytes(at + "/lumox.scr", {script.begin(), script.end()});
        child = start_sample(
            dir, {"-mute"},
            {"DISPLAY=" + x.display, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy"}, work);
        // The held frame has faded in once two looks at its upper half (the
        // note bar may change) agree and it is not black, whatever size the
        // window has.
        std::vector<uint8_t> last;
        for (int tries = 0; tries < 60; tries++, sleep_ms(250)) {
            window = find_window(x, "^Lumox", tries ? 1000 : 20000);
            int w, h;
            std::vector<uint8_t> now = screenshot(x, window, w, h);
            now.resize(now.size() / 2);
            if (now == last && std::any_of(now.begin(), now.end(), [](uint8_t v) { return v; })) {
                return;
            }
            last = std::move(now);
        }
        FAIL() << "the picture never stood still";
    }
    void key(const std::string &name) {
        x_command(x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
        x_command(x, {"/usr/bin/xdotool", "key", name});
    }
    // Presses s and waits for the line on stdout or stderr.
    void shoot(const std::string &line, bool on_stdout = true) {
        key("s");
        EXPECT_TRUE(wait_for_text(on_stdout ? child.out_path : child.err_path, line))
            << line << "--- stdout\n"
            << text_of(child.out_path) << "--- stderr\n"
            << text_of(child.err_path);
    }
    // Quits with q: status 0 and the farewell, as without screenshots.
    ProcessResult quit() {
        key("q");
        const ProcessResult r = finish_child(child, 20000);
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        EXPECT_TRUE(r.out.size() >= farewell.size() &&
                    r.out.substr(r.out.size() - farewell.size()) == farewell)
            << r.out;
        return r;
    }
    void TearDown() override {
        if (child.pid > 0) {
            finish_child(child, 0);
        }
        if (immutable) {
            set_immutable(work, false);
        }
    }
};

TEST_F(Shot, SavesTheHeldFrameUnderRisingNumbersAndNeverOverwrites) {
    start();
    shoot("saved lumox-0001.png\n");
    expect_held_frame(dir.file("lumox-0001.png"));
    shoot("saved lumox-0002.png\n");
    expect_held_frame(dir.file("lumox-0002.png"));
    const std::vector<unsigned char> mine = {'m', 'i', 'n', 'e'};
    write_bytes(dir.file("lumox-0003.png"), mine);
    shoot("saved lumox-0004.png\n");
    EXPECT_EQ(read_bytes(dir.file("lumox-0003.png")), mine) << "an existing file was overwritten";
    expect_held_frame(dir.file("lumox-0004.png"));

    const ProcessResult r = quit();
    EXPECT_NE(r.out.find("saved lumox-0001.png\nsaved lumox-0002.png\nsaved lumox-0004.png\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err.find("screenshot"), std::string::npos) << r.err;
}

// Root ignores permission bits, so the directory is made immutable, which
// binds root too; where that is refused it is removed once the host has read
// its files, which leaves nowhere to create a file either.
TEST_F(Shot, AWorkingDirectoryWithoutRoomIsAWarningAndTheDemoGoesOn) {
    work = dir.file("work");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    start();
    immutable = set_immutable(work, true);
    if (!immutable) {
        ASSERT_EQ(unlink((work + "/lumox.exe").c_str()) | unlink((work + "/lumox.scr").c_str()) |
                      rmdir(work.c_str()),
                  0);
    }
    SCOPED_TRACE(immutable ? "immutable working directory" : "removed working directory");
    const std::string warning =
        "screenshot lumox-0001.png: " + std::string(strerror(immutable ? EPERM : ENOENT)) + "\n";
    shoot(warning, false);
    if (immutable) {
        // Nothing sticks: with room again the same key saves.
        ASSERT_TRUE(set_immutable(work, false));
        immutable = false;
        shoot("saved lumox-0001.png\n");
        expect_held_frame(work + "/lumox-0001.png");
    }
    const ProcessResult r = quit();
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("screenshot"), r.err.rfind("screenshot")) << "one warning\n" << r.err;
}

// The bar at the foot of the held frame shows the note playing: shots a
// while apart hold the held frame with one note's bar, and see it change.
TEST_F(Shot, TheHeldFrameCarriesTheBarOfTheNotePlaying) {
    script = "hold 24\n";
    start();
    std::vector<int> notes; // as they changed
    for (int n = 1; n <= 12 && notes.size() < 3; n++, sleep_ms(100)) {
        char name[16];
        snprintf(name, sizeof name, "lumox-%04d.png", n);
        shoot("saved " + std::string(name) + "\n");
        const PngFile png = read_png(dir.file(name));
        const int note = sample_note_shown(png.pixels);
        ASSERT_GE(note, 0) << name << ": no note bar in lines 192 to 199";
        EXPECT_TRUE(png.pixels == sample_frame(24, note)) << name << ": not the held frame";
        if (notes.empty() || notes.back() != note) {
            notes.push_back(note);
        }
    }
    EXPECT_GE(notes.size(), 3u) << "the bar does not follow the music";
    quit();
}

} // namespace
