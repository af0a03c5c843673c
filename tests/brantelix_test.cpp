// brantelix end to end through the built program: the batch frame's messages
// and exit statuses, and the pictures it writes, byte for byte.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <filesystem>

#include "jpeg_support.hpp"

namespace {

const char* const kBanner = kSplit.banner;

Bytes picture_with_thumbnail(size_t data_length, unsigned seed) {
    // Cameras keep an Exif thumbnail in APP1; this one begins FF D8 FF C0.
    const Bytes thumbnail = fake_picture(segment(0xC0, bytes({8, 0, 4, 0, 4, 3})), 30, seed + 100);
    return fake_picture(segment(0xE1, concat({bytes({'E', 'x', 'i', 'f', 0, 0}), thumbnail})), data_length,
                        seed);
}

struct Mpo {
    Bytes file;
    std::vector<Bytes> pictures;  // each picture's bytes as the splitter must write them
};

// `lead` comes before the first picture, `tail` after the last one (and so
// belongs to it).
Mpo make_mpo(std::vector<size_t> lengths, const Bytes& lead = {}, const Bytes& tail = {}) {
    Mpo mpo;
    mpo.file = lead;
    for (size_t k = 0; k < lengths.size(); ++k) {
        mpo.pictures.push_back(picture_with_thumbnail(lengths[k], static_cast<unsigned>(k + 1)));
        mpo.file.insert(mpo.file.end(), mpo.pictures.back().begin(), mpo.pictures.back().end());
    }
    mpo.file.insert(mpo.file.end(), tail.begin(), tail.end());
    mpo.pictures.back().insert(mpo.pictures.back().end(), tail.begin(), tail.end());
    return mpo;
}

}  // namespace

TEST(BatchFrame, NoArgumentsPrintsOnlyTheBanner) {
    const RunResult r = run_tool("brantelix", {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner);
}

TEST(BatchFrame, AcceptsOnlyLowerOrUpperCaseMpo) {
    ScratchDir dir;
    const Mpo mpo = make_mpo({50, 60});
    for (const char* name : {"a.mpo", "b.MPO", "c.Mpo", "d.jpg", "e.mpo.bak", "ab"}) {
        write_file(dir / name, mpo.file);
    }
    const RunResult r =
        run_tool("brantelix", {"a.mpo", "b.MPO", "c.Mpo", "d.jpg", "e.mpo.bak", "ab"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kBanner) + writing("a_L.jpg") + writing("a_R.jpg") + writing("b_L.jpg") +
                         writing("b_R.jpg") + "File c.Mpo has not the right extension\n" +
                         "File d.jpg has not the right extension\n" +
                         "File e.mpo.bak has not the right extension\n" +
                         "File ab has not the right extension\n");
    EXPECT_FALSE(file_exists(dir / "c_L.jpg"));
}

// A lone --help or --version is answered instead of converting; anywhere
// else, or with other arguments, it is a file name like any other.
TEST(BatchFrame, HelpAndVersionAloneAreAnswered) {
    ScratchDir dir;
    write_file(dir / "--help", make_mpo({50, 60}).file);
    for (const Tool& tool : {kSplit, kDubois, kColour, kJps}) {
        SCOPED_TRACE(tool.name);
        const RunResult help = run_tool(tool.name, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("Usage: ") + tool.name + " FILE.mpo...\n", 0), 0u) << help.out;
#if defined(_WIN32)
        const std::string manual = std::string(tool.name) + ".txt beside the program";  // Windows has no man
#else
        const std::string manual = std::string("man ") + tool.name + "\n";
#endif
        EXPECT_NE(help.out.find(manual), std::string::npos) << help.out;
        EXPECT_EQ(help.out.find("****"), std::string::npos) << "no banner";
        const std::string example = tool.suffix != nullptr ? std::string("shot") + tool.suffix : "shot_L.jpg";
        EXPECT_NE(help.out.find(example), std::string::npos) << help.out;

        const RunResult version = run_tool(tool.name, {"--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::string(tool.name) + " (stereo-mpo-tools) " + STEREO_VERSION + "\n");
        EXPECT_EQ(help.err + version.err, "");

        // First of several, either is a file: --version one that does not
        // exist, --help the one made above, of the wrong extension.
        const RunResult version_first = run_tool(tool.name, {"--version", "--help"}, dir.path);
        EXPECT_EQ(version_first.status, 255);
        EXPECT_EQ(version_first.out, std::string(tool.banner) + "Error when reading file\n");
        const RunResult help_first = run_tool(tool.name, {"--help", "--version"}, dir.path);
        EXPECT_EQ(help_first.status, 255);
        EXPECT_EQ(help_first.out, std::string(tool.banner) + "File --help has not the right extension\n" +
                                      "Error when reading file\n");
        const RunResult named = run_tool(tool.name, {"./--help"}, dir.path);
        EXPECT_EQ(named.out, std::string(tool.banner) + "File ./--help has not the right extension\n");
    }
}

// Names outside ASCII (and with a space, which a Windows command line must
// quote) reach every tool and come back unchanged in its messages and output
// names; on Windows through the programs' UTF-8 code page. A folder among
// the arguments is refused and the batch goes on.
TEST(BatchFrame, NamesOutsideAsciiAndFoldersAmongTheArguments) {
    ScratchDir dir;
    const Bytes mpo = garden_mpo(16, 12).file;
    for (const char* name : {"写真.mpo", "Ωmega shot.mpo"}) write_file(dir / name, mpo);
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(dir / "d.mpo")));
    for (const Tool& tool : {kSplit, kDubois, kColour, kJps}) {
        SCOPED_TRACE(tool.name);
        const auto outputs = [&](const std::string& stem) {
            return tool.suffix != nullptr ? std::vector<std::string>{stem + tool.suffix}
                                          : std::vector<std::string>{stem + "_L.jpg", stem + "_R.jpg"};
        };
        std::string expected = tool.banner;
        for (const std::string& name : outputs("写真")) expected += writing(name);
        expected += "File d.mpo is not a regular file\n";
        for (const std::string& name : outputs("Ωmega shot")) expected += writing(name);
        const RunResult r = run_tool(tool.name, {"写真.mpo", "d.mpo", "Ωmega shot.mpo"}, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
        for (const char* stem : {"写真", "Ωmega shot"}) {
            for (const std::string& name : outputs(stem)) EXPECT_TRUE(file_exists(dir / name)) << name;
        }
    }
}

TEST(Splitter, WritesEachPictureByteForByte) {
    ScratchDir dir;
    // Leading bytes belong to no picture; trailing bytes belong to the last.
    const Mpo mpo = make_mpo({333, 517}, bytes({1, 2, 3, 4, 5}), bytes({0, 0, 0xFF, 0xD8, 0xFF}));
    write_file(dir / "shot.mpo", mpo.file);
    // An existing output is replaced, whatever its size.
    write_file(dir / "shot_L.jpg", Bytes(5000, 0x77));

    const RunResult r = run_tool("brantelix", {dir / "shot.mpo"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kBanner) + writing(dir / "shot_L.jpg") + writing(dir / "shot_R.jpg"));
    EXPECT_EQ(read_file(dir / "shot_L.jpg"), mpo.pictures[0]);
    EXPECT_EQ(read_file(dir / "shot_R.jpg"), mpo.pictures[1]);
    EXPECT_EQ(read_file(dir / "shot.mpo"), mpo.file) << "the input must not change";
}

TEST(Splitter, PicturesAfterTheSecondGetNamesOfTheirOwn) {
    ScratchDir dir;
    const Mpo mpo = make_mpo({40, 50, 60, 70});
    write_file(dir / "s.mpo", mpo.file);
    const RunResult r = run_tool("brantelix", {"s.mpo"}, dir.path);
    EXPECT_EQ(r.out, std::string(kBanner) + writing("s_L.jpg") + writing("s_R.jpg") + writing("s_3.jpg") +
                         writing("s_4.jpg"));
    EXPECT_EQ(read_file(dir / "s_R.jpg"), mpo.pictures[1]);
    EXPECT_EQ(read_file(dir / "s_3.jpg"), mpo.pictures[2]);
    EXPECT_EQ(read_file(dir / "s_4.jpg"), mpo.pictures[3]);
}

// A single picture is split alone; a file in which none is found is refused.
TEST(Splitter, SinglePictureAndNoPicture) {
    ScratchDir dir;
    // A plain JFIF file: one picture, copied from its start to the end.
    const Bytes jfif =
        concat({bytes({9, 9}), fake_picture(segment(0xE0, bytes({'J', 'F', 'I', 'F', 0})), 80, 4),
                bytes({1, 2, 3})});
    write_file(dir / "one.mpo", jfif);
    // A stream that begins FF D8 FF DB is not counted at all.
    write_file(dir / "none.mpo", fake_picture(segment(0xDB, Bytes(65, 1)), 80, 5));
    // So is nothing at all: neither is an MPO file, and a script must hear of it.
    write_file(dir / "notes.mpo", Bytes{'h', 'i', '\n'});
    const RunResult r = run_tool("brantelix", {"one.mpo", "none.mpo", "notes.mpo"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kBanner) + writing("one_L.jpg"));
    EXPECT_EQ(r.err,
              "brantelix: none.mpo: no JPEG picture found\nbrantelix: notes.mpo: no JPEG picture found\n");
    EXPECT_EQ(read_file(dir / "one_L.jpg"), Bytes(jfif.begin() + 2, jfif.end()));
    EXPECT_FALSE(file_exists(dir / "one_R.jpg"));
    EXPECT_FALSE(file_exists(dir / "none_L.jpg"));
}

#if !defined(_WIN32)  // the full disk is /dev/full, reached through a symlink
TEST(Splitter, FailedWriteIsReportedAndTheIncompleteFileRemoved) {
    ScratchDir dir;
    // A small picture fails when the output is closed, a large one while it
    // is copied; neither may be left behind as if it were complete.
    const Mpo small = make_mpo({40, 50});
    const Mpo large = make_mpo({3 << 20, 50});
    write_file(dir / "small.mpo", small.file);
    write_file(dir / "large.mpo", large.file);
    ASSERT_EQ(symlink("/dev/full", (dir / "small_L.jpg").c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (dir / "large_L.jpg").c_str()), 0);

    const RunResult r = run_tool("brantelix", {"small.mpo", "large.mpo"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kBanner) + writing("small_L.jpg") +
                         "Error writing output file small_L.jpg\n" + writing("small_R.jpg") +
                         "Error writing output file large_L.jpg\n" + writing("large_R.jpg"));
    EXPECT_EQ(r.err,
              "brantelix: small_L.jpg: No space left on device\n"
              "brantelix: large_L.jpg: No space left on device\n");
    EXPECT_FALSE(file_exists(dir / "small_L.jpg"));
    EXPECT_FALSE(file_exists(dir / "large_L.jpg"));
    EXPECT_EQ(read_file(dir / "small_R.jpg"), small.pictures[1]);
    EXPECT_EQ(read_file(dir / "large_R.jpg"), large.pictures[1]);
}
#endif

TEST(Splitter, MoreThan127PicturesKeepsTheFirst127) {
    ScratchDir dir;
    std::vector<size_t> lengths(130, 10);
    const Mpo mpo = make_mpo(lengths);
    write_file(dir / "many.mpo", mpo.file);
    const RunResult r = run_tool("brantelix", {"many.mpo"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "many_126.jpg"), mpo.pictures[125]);
    // The last recorded picture runs to the end of the file.
    Bytes rest;
    for (size_t k = 126; k < mpo.pictures.size(); ++k) {
        rest.insert(rest.end(), mpo.pictures[k].begin(), mpo.pictures[k].end());
    }
    EXPECT_EQ(read_file(dir / "many_127.jpg"), rest);
    EXPECT_FALSE(file_exists(dir / "many_128.jpg"));
}

// Real camera files, copied into a scratch folder (outputs go beside the
// input) under an .mpo name, split at the starts their README lists.
TEST(RealFiles, SplitsCameraFilesAtTheirPictureStarts) {
    const struct {
        const char* name;
        std::vector<size_t> starts;
    } cases[] = {
        {"3ds_sugarshack.mpo", {0, 60008}},  {"fujifilm_w3.mpo", {0, 4967936}},
        {"panasonic_gx8.mpo", {0, 1251328}}, {"fujifilm_finepix4900zoom.jpg", {0}},
        {"hp_photosmart735.jpg", {0}},
    };
    if (samples_dir_absent()) GTEST_SKIP() << "camera files absent: " << samples_dir();
    ScratchDir dir;
    for (const auto& c : cases) {
        const Bytes file = read_file(sample_file(c.name));
        write_file(dir / "cam.mpo", file);
        const RunResult r = run_tool("brantelix", {"cam.mpo"}, dir.path);
        EXPECT_EQ(r.status, 0);
        const char* names[] = {"cam_L.jpg", "cam_R.jpg"};
        std::string expected_out = kBanner;
        for (size_t k = 0; k < c.starts.size(); ++k) {
            const size_t end = k + 1 < c.starts.size() ? c.starts[k + 1] : file.size();
            EXPECT_EQ(read_file(dir / names[k]), Bytes(file.begin() + c.starts[k], file.begin() + end))
                << c.name;
            expected_out += writing(names[k]);
        }
        EXPECT_EQ(r.out, expected_out) << c.name;
        (void)remove((dir / "cam_L.jpg").c_str());
        (void)remove((dir / "cam_R.jpg").c_str());
    }
}

namespace {

// A picture without its MP Format segments (APP2 "MPF\0"), which mpojoin
// writes anew: the header segments are stepped over by their lengths up to
// the scan.
Bytes without_mpf(const Bytes& picture) {
    Bytes kept(picture.begin(), picture.begin() + 2);
    size_t at = 2;
    while (at + 4 <= picture.size() && picture[at] == 0xFF && picture[at + 1] != 0xDA) {
        const size_t end = at + 2 + (picture[at + 2] << 8 | picture[at + 3]);
        const bool mpf =
            picture[at + 1] == 0xE2 && end >= at + 8 &&
            std::equal(picture.begin() + ptrdiff_t(at) + 4, picture.begin() + ptrdiff_t(at) + 8, "MPF");
        if (!mpf) kept.insert(kept.end(), picture.begin() + ptrdiff_t(at), picture.begin() + ptrdiff_t(end));
        at = end;
    }
    kept.insert(kept.end(), picture.begin() + ptrdiff_t(at), picture.end());
    return kept;
}

}  // namespace

// mpojoin puts together what brantelix splits: split again, the joined file
// gives back each picture it was given, byte for byte but for the MP Format
// segment, and the composing tools make the same picture of it. The camera
// files too, where they are.
TEST(Joiner, JoinsWhatTheSplitterSplits) {
    std::vector<std::pair<std::string, Bytes>> files = {{"garden", garden_mpo(48, 32).file}};
    if (!samples_dir_absent()) {
        for (const char* name : {"fujifilm_w3", "3ds_sugarshack", "panasonic_gx8"}) {
            files.emplace_back(name, read_file(sample_file((std::string(name) + ".mpo").c_str())));
        }
    }
    ScratchDir dir;
    for (const auto& file : files) {
        SCOPED_TRACE(file.first);
        const std::string stem = dir / file.first;
        write_file(stem + ".mpo", file.second);
        ASSERT_EQ(run_tool("korventale", {stem + ".mpo"}).status, 0);
        const Bytes anaglyph = read_file(stem + "_dub.jpg");
        ASSERT_EQ(run_tool("brantelix", {stem + ".mpo"}).status, 0);
        const Bytes left = read_file(stem + "_L.jpg"), right = read_file(stem + "_R.jpg");

        const RunResult joined = run_tool("mpojoin", {stem + "_L.jpg"});
        EXPECT_EQ(joined.status, 0);
        EXPECT_EQ(joined.out, kJoin.banner + writing(stem + ".mpo"));
        EXPECT_EQ(joined.err, "");
        ASSERT_EQ(run_tool("brantelix", {stem + ".mpo"}).out,
                  kSplit.banner + writing(stem + "_L.jpg") + writing(stem + "_R.jpg"));
        EXPECT_EQ(without_mpf(read_file(stem + "_L.jpg")), without_mpf(left));
        EXPECT_EQ(without_mpf(read_file(stem + "_R.jpg")), without_mpf(right));
        ASSERT_EQ(run_tool("korventale", {stem + ".mpo"}).status, 0);
        EXPECT_EQ(read_file(stem + "_dub.jpg"), anaglyph);
    }

    const RunResult help = run_tool("mpojoin", {"--help"});
    EXPECT_EQ(help.out.rfind("Usage: mpojoin FILE_L.jpg...\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("shot.mpo"), std::string::npos) << help.out;
    EXPECT_EQ(run_tool("mpojoin", {"--version"}).out,
              std::string("mpojoin (stereo-mpo-tools) ") + STEREO_VERSION + "\n");
}
