// The screenshot key on a real window: the files it writes decode to the held
// frame and palette computed here, numbers go up and never overwrite, and a
// working directory where nothing can be created costs a warning, not the demo.
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

const char farewell[] = "\nHave a nice day\n";

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string text_of(const std::string &path) {
    const std::vector<unsigned char> bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// Waits until the file holds text; false after timeout_ms.
bool wait_for_text(const std::string &path, const std::string &text, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (text_of(path).find(text) != std::string::npos) {
            return true;
        }
        sleep_ms(50);
    }
    return false;
}

// Sets or clears the immutable attribute, which stops even root from
// creating files in a directory. False where the file system or the
// process's capabilities do not allow it.
bool set_immutable(const std::string &path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

struct Shot : testing::Test {
    Xvfb x;
    TempDir dir; // output files; the working directory unless work is set
    std::string work;
    bool immutable = false;
    Child child;
    std::string window;

    void start() {
        ASSERT_FALSE(x.display.empty()) << "Xvfb did not start";
        if (work.empty()) {
            prepare_sample_dir(dir, false, "hold 24\n");
        } else {
            write_bytes(work + "/lumox.exe", read_bytes(sample_image(false)));
            const std::string script = "hold 24\n";
            write_bytes(work + "/lumox.scr", {script.begin(), script.end()});
        }
        child = start_sample(
            dir, {"-mute"},
            {"DISPLAY=" + x.display, "SDL_VIDEODRIVER=x11", "SDL_AUDIODRIVER=dummy"}, work);
        window = find_window(x, "^Lumox", 20000);
        ASSERT_FALSE(window.empty()) << "no window";
        wait_for_held_frame();
    }
    // The held frame has faded in once two looks at the window agree and it is
    // not black; whatever size the window has.
    void wait_for_held_frame() {
        std::vector<uint8_t> last;
        for (int tries = 0; tries < 60; tries++) {
            sleep_ms(250);
            window = find_window(x, "^Lumox", 1000);
            int w, h;
            std::vector<uint8_t> now = screenshot(x, window, w, h);
            const bool lit = std::any_of(now.begin(), now.end(), [](uint8_t v) { return v > 0; });
            if (lit && now == last) {
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
    std::string out() const { return text_of(child.out_path); }
    std::string err() const { return text_of(child.err_path); }
    ProcessResult quit() {
        key("q");
        return finish_child(child, 20000);
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

// The file as the test computes it: the held frame in the faded-in palette.
void expect_held_frame(const std::string &path) {
    const PngFile png = read_png(path);
    ASSERT_EQ(png.error, "") << path;
    EXPECT_EQ(png.width, 320u);
    EXPECT_EQ(png.height, 200u);
    EXPECT_EQ(png.bit_depth, 8);
    EXPECT_EQ(png.color_type, 3) << "indexed colour";
    EXPECT_TRUE(png.pixels == sample_frame(24)) << "pixels differ from the held frame";
    EXPECT_TRUE(png.palette == sample_screen_palette()) << "palette differs";
    EXPECT_TRUE(png.has_aspect) << "no pHYs chunk";
    EXPECT_EQ(png.x_per_unit, 6u);
    EXPECT_EQ(png.y_per_unit, 5u);
    EXPECT_EQ(png.unit, 0) << "unit unknown";
}

TEST_F(Shot, SavesTheHeldFrameUnderRisingNumbersAndNeverOverwrites) {
    start();
    key("s");
    ASSERT_TRUE(wait_for_text(child.out_path, "saved lumox-0001.png\n")) << out() << err();
    expect_held_frame(dir.file("lumox-0001.png"));
    key("s");
    ASSERT_TRUE(wait_for_text(child.out_path, "saved lumox-0002.png\n")) << out() << err();
    expect_held_frame(dir.file("lumox-0002.png"));

    const std::vector<unsigned char> mine = {'m', 'i', 'n', 'e'};
    write_bytes(dir.file("lumox-0003.png"), mine);
    key("s");
    ASSERT_TRUE(wait_for_text(child.out_path, "saved lumox-0004.png\n")) << out() << err();
    EXPECT_EQ(read_bytes(dir.file("lumox-0003.png")), mine) << "an existing file was overwritten";
    expect_held_frame(dir.file("lumox-0004.png"));

    const ProcessResult r = quit();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("screenshot"), std::string::npos) << r.err;
    const std::string lines = "saved lumox-0001.png\nsaved lumox-0002.png\nsaved lumox-0004.png\n";
    EXPECT_NE(r.out.find(lines), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.size() >= strlen(farewell) &&
                r.out.compare(r.out.size() - strlen(farewell), strlen(farewell), farewell) == 0)
        << r.out;
}

// Root ignores permission bits, so the directory is made immutable, which
// binds root too; where that is not possible it is removed once the host has
// read its files, which leaves nowhere to create a file either.
TEST_F(Shot, AWorkingDirectoryWithoutRoomIsAWarningAndTheDemoGoesOn) {
    work = dir.file("work");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    start();
    immutable = set_immutable(work, true);
    if (!immutable) {
        ASSERT_EQ(unlink((work + "/lumox.exe").c_str()), 0);
        ASSERT_EQ(unlink((work + "/lumox.scr").c_str()), 0);
        ASSERT_EQ(rmdir(work.c_str()), 0);
    }
    SCOPED_TRACE(immutable ? "immutable working directory" : "removed working directory");
    const std::string warning =
        "screenshot lumox-0001.png: " + std::string(strerror(immutable ? EPERM : ENOENT)) + "\n";
    key("s");
    ASSERT_TRUE(wait_for_text(child.err_path, warning)) << out() << err();
    EXPECT_TRUE(child_running(child));

    if (immutable) {
        // Nothing sticks: with room again the same key saves.
        ASSERT_TRUE(set_immutable(work, false));
        immutable = false;
        key("s");
        ASSERT_TRUE(wait_for_text(child.out_path, "saved lumox-0001.png\n")) << out() << err();
        expect_held_frame(work + "/lumox-0001.png");
    }
    const ProcessResult r = quit();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("screenshot"), r.err.rfind("screenshot")) << "one warning line\n" << r.err;
    EXPECT_TRUE(r.out.size() >= strlen(farewell) &&
                r.out.compare(r.out.size() - strlen(farewell), strlen(farewell), farewell) == 0)
        << r.out;
}

} // namespace
