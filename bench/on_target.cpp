// The on-target benchmark's driver (scripts/bench_target.sh): the real stub with /AUTO and
// the plain extractor (bench/windows/plain_extract.c) do the whole job on the same
// self-extracting file, or the stub with /SILENT and a peer's installer of the same files
// with /S (LABEL=FILE,PEER: a package that extracts, runs the command and removes its files
// as ours does), in turn, under one Wine session (one Xvfb, one wineserver, the
// prefix of the Wine tests). Each pair swaps which of the two goes first, and every run
// starts from the same state: the disk synced and, where the benchmark may (as root), the
// page cache dropped and filled again with the file and Wine's own libraries. Without that,
// each run leaves the next one slower, whichever program it was: here a corpus run grew from
// 8 s to 17 s over ten runs, and back to 8 s after the drop. (ext4 without a journal passes
// over the inodes freed in the last minute when it creates a file, and looks each one up
// while its block is cached.) Prints every run, the medians and their ratio.
//
//   on_target PAIRS PLAIN_EXE COMMAND LABEL=FILE[,PEER]...
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/wine/support/wine.h"

namespace fs = std::filesystem;

namespace {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void ReadThrough(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), buffer.size())) {
    }
}

// Brings the machine to the state every run starts from (see above).
void Settle(wine::Session& wine, const std::string& file) {
    sync();  // what the last run left to the disk is not this run's cost
    if (std::ofstream("/proc/sys/vm/drop_caches") << "1" << std::flush) {
        ReadThrough(file);
        wine.Run("cmd", {"/c", "exit 0"});  // reads Wine's libraries back
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Entries in the prefix's folders for temporary files: a run must leave none behind, or it
// did not do the whole job (and the next run would meet its files).
size_t TempEntries(const std::string& prefix) {
    size_t n = 0;
    std::error_code ec;
    for (const auto& user : fs::directory_iterator(prefix + "/drive_c/users", ec))
        for (const char* sub : {"Temp", "AppData/Local/Temp"})
            if (!fs::is_symlink(user.path() / sub, ec))
                for (auto it = fs::directory_iterator(user.path() / sub, ec);
                     !ec && it != fs::directory_iterator(); ++it)
                    ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: on_target PAIRS PLAIN_EXE COMMAND LABEL=FILE...\n");
        return 2;
    }
    int pairs = std::atoi(argv[1]);
    std::string plain = argv[2], command = argv[3];
    wine::Session& wine = wine::Session::Get();
    const int kTimeout = 3600;

    // Wine starts its desktop process with a session's first window and ends it about a
    // second after the last one closes, so each run of the stub, a settle apart from the
    // last, would start it anew: 0.25-0.3 s a run here (a one-file package took 0.66-0.74 s
    // against 0.41-0.53 s). Neither the plain extractor, a console program, nor the stub on
    // Windows, where the desktop is always there, pays that. Notepad, open for the whole
    // benchmark, keeps the desktop up; the session's end takes it away. BENCH_DESKTOP=cold
    // leaves it out.
    const char* desktop = std::getenv("BENCH_DESKTOP");
    bool keepDesktop = !(desktop && std::string(desktop) == "cold");
    if (keepDesktop && wine.Run("start", {"notepad"}).exitCode != 0) {
        std::printf("(Notepad did not start)\n");
        keepDesktop = false;
    }
    std::printf("(Wine's desktop: %s)\n",
                keepDesktop ? "kept up by a window open throughout" : "started by each run");

    for (int c = 4; c < argc; ++c) {
        std::string arg = argv[c];
        std::string label = arg.substr(0, arg.find('=')), file = arg.substr(arg.find('=') + 1);
        std::string peer;
        if (file.find(',') != std::string::npos) peer = file.substr(file.find(',') + 1), file.resize(file.find(','));
        const char* other = peer.empty() ? "plain" : "peer";
        ReadThrough(file);  // both read it from the page cache
        if (!peer.empty()) ReadThrough(peer);
        std::printf("== %s: %s (%.1f MB)", label.c_str(), file.c_str(), fs::file_size(file) / 1e6);
        if (!peer.empty()) std::printf(" against %s (%.1f MB)", peer.c_str(), fs::file_size(peer) / 1e6);
        std::printf("\n");
        std::vector<double> stubTimes, plainTimes;
        for (int i = 0; i < 2 * pairs; ++i) {
            bool stub = (i % 2 == 0) == (i / 2 % 2 == 0);
            size_t before = TempEntries(wine.Prefix());
            Settle(wine, file);
            double start = Now();
            wine::ProgramRun run = stub && peer.empty() ? wine.Run(file, {"/AUTO"}, kTimeout)
                                   : stub ? wine.Run(file, {"/SILENT"}, kTimeout)
                                   : peer.empty() ? wine.Run(plain, {wine.WinPath(file), command}, kTimeout)
                                                  : wine.Run(peer, {"/S"}, kTimeout);
            double seconds = Now() - start;
            std::string out = run.out.substr(0, run.out.find_first_of("\r\n"));
            std::printf("  %-6s %7.2f s  %s\n", stub ? "stub" : other, seconds, out.c_str());
            std::fflush(stdout);
            if (run.exitCode != 0 || run.timedOut || TempEntries(wine.Prefix()) != before) {
                std::fprintf(stderr, "on_target: the %s did not finish its job (status %d%s)\n%s",
                             stub ? "stub" : peer.empty() ? "plain extractor" : "peer", run.exitCode,
                             run.timedOut ? ", timed out" : "", run.err.c_str());
                return 1;
            }
            (stub ? stubTimes : plainTimes).push_back(seconds);
        }
        double s = Median(stubTimes), p = Median(plainTimes);
        std::printf("  median of %d pairs: stub %.2f s, %s %.2f s, ratio (stub / %s) %.2f\n",
                    pairs, s, other, p, other, s / p);
    }
    return 0;
}
