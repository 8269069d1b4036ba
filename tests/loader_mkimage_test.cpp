// The mkimage tool: images from object files and fixup lists, loaded back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/loader_images.h"

using Bytes = std::vector<uint8_t>;

namespace {

struct Mkimage : ImageLoad {
    std::string tool;
    void SetUp() override {
        // The tool is built next to the tests: <build>/tools/mkimage.
        const char *build = getenv("LUMOX_BINARY_DIR");
        if (build) {
            tool = std::string(build) + "/tools/mkimage";
        } else {
            const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
            tool = exe.substr(0, exe.rfind("/tests/")) + "/tools/mkimage";
        }
        ASSERT_TRUE(std::filesystem::exists(tool)) << tool;
    }
    ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), tool);
        return run_process(args, dir.path);
    }
    void text_file(const std::string &name, const std::string &text) {
        std::ofstream(dir.file(name)) << text;
    }
};

TEST_F(Mkimage, WritesBothFormatsFromObjectFilesAndFixupLists) {
    Bytes code(6000), data(100);
    for (size_t i = 0; i < code.size(); i++) {
        code[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    write_bytes(dir.file("code.bin"), code);
    write_bytes(dir.file("data.bin"), data);
    text_file("code.fix", "# type source target-object target-offset\n"
                          "7 0x10 2 0x20\n"
                          "6 4094 2 0   # across a page boundary\n"
                          "\n"
                          "2 0x40 1 0\n");
    text_file("data.fix", "7 96 1 5000\n");
    const std::vector<ImageObject> expected = {
        {code, 0, {{7, 0x10, 2, 0x20}, {6, 4094, 2, 0}, {2, 0x40, 1, 0}}, true},
        {data, 5000, {{7, 96, 1, 5000}}, false},
    };
    for (const std::string format : {"le", "pmw1"}) {
        const ProcessResult r =
            run({format, "out.exe", "--object", "code.bin", "--fixups", "code.fix", "--object",
                 "data.bin:5000:stored", "--fixups", "data.fix", "--entry", "1:0x10"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        expect_loaded(expected, load_file(dir.file("out.exe")));
    }
}

TEST_F(Mkimage, ExplainsItselfAndRefusesBadInput) {
    ProcessResult r = run({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("--object FILE[:VSIZE][:stored]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TYPE SOURCE_OFFSET TARGET_OBJECT TARGET_OFFSET"), std::string::npos);

    write_bytes(dir.file("a.bin"), {1, 2, 3});
    text_file("bad.fix", "7 0 1\n");
    r = run({"le", "out.exe", "--object", "a.bin", "--fixups", "bad.fix"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "mkimage: bad.fix:1: expected TYPE SOURCE_OFFSET TARGET_OBJECT "
                     "TARGET_OFFSET\n");
    text_file("far.fix", "7 0 2 0\n");
    r = run({"pmw1", "out.exe", "--object", "a.bin", "--fixups", "far.fix"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "mkimage: object 1: fixup to object 2, which does not exist\n");
    r = run({"pmw1", "out.exe", "--object", "missing.bin"});
    EXPECT_EQ(r.err, "mkimage: cannot read missing.bin\n");
    r = run({"lx", "out.exe"});
    EXPECT_EQ(r.exit_status, 2);
}

} // namespace
