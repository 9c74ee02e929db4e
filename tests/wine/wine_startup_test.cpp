// The real stub under Wine, failing during start-up.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/wine/support/wine.h"

namespace {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void PutLe32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = (char)(value >> (8 * i));
}

TEST(StubStartup, WrongHeaderCrcShowsOneUnownedErrorBoxAndEndsWithZero) {
    wine::Session& wine = wine::Session::Get();
    std::string image = ReadBytes(wine::Stub());
    ASSERT_FALSE(image.empty()) << "no stub at " << wine::Stub();
    const std::string signature("rdk\x01sfx\x02", 8);
    size_t block = image.find(signature);
    ASSERT_NE(block, std::string::npos);

    // The header check covers the whole file; store a checksum that cannot match it.
    PutLe32(image, block + 12, (uint32_t)image.size());  // archiveOffset
    PutLe32(image, block + 8, 0);
    uint32_t right = (uint32_t)crc32(0, (const Bytef*)image.data(), (uInt)image.size());
    uint32_t wrong = right ^ 0x5A5A5A5Au;
    PutLe32(image, block + 8, wrong);

    std::string folder = wine.WorkDir("startup");
    std::string exe = folder + "/setup.exe";
    std::ofstream(exe, std::ios::binary) << image;

    wine::DriverRun run = wine.Drive({
        "cd " + wine::Quote(wine.WinPath(folder)),
        "start " + wine::Quote(wine.WinPath(exe)),
        "wait timeout=30000",
        "dump",
        "list",
        "click id=1",
        "exit timeout=15000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    const wine::Window box = run.Dump(0);
    EXPECT_EQ(box.kind, "msgbox");
    EXPECT_EQ(box.caption, "Tessly Self-Extractor");
    EXPECT_EQ(box.text, wine::Ansi("Tessly Self-Extractor-Dateikopf ungültig. Mögliche Ursache: "
                                   "Fehlerhafter Datenträger oder Dateiübertragungsfehler."));
    EXPECT_EQ(box.icon, "error");
    EXPECT_EQ(box.owner, "0x0");
    EXPECT_EQ(box.buttons, std::vector<int>{1});
    EXPECT_EQ(run.First("listed")->Number("count"), 1);  // no dialog behind the box
    EXPECT_EQ(run.ExitCode(), 0);
}

}  // namespace
