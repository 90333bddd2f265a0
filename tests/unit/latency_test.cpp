#include "modes/latency.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/palette.h"

TEST(LatencySpectrum, BucketBounds) {
    struct Row {
        int64_t us;
        char want;
    } rows[] = {
        {0, '.'},      {10, '.'},       {11, '-'},       {125, '-'},       {126, '*'},
        {300, '#'},    {1000, '1'},     {1001, '2'},     {9500, 'A'},      {50001, 'F'},
        {999999, 'K'}, {60000000, 'Q'}, {60000001, '?'}, {INT64_MAX, '?'},
    };
    for (const Row &r : rows)
        EXPECT_EQ(latency_dist_template[latencyDistBucket(latency_dist_template, r.us)].character,
                  r.want)
            << r.us;
}

namespace {

// What fn writes to standard output.
template <class Fn> std::string captureStdout(Fn fn) {
    fflush(stdout);
    char path[] = "/tmp/latency_test_XXXXXX";
    int fd = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, size_t(n));
    close(fd);
    unlink(path);
    return out;
}

} // namespace

TEST(LatencySpectrum, RowColoursScaleWithTheShareOfSamples) {
    distsamples s[31];
    memcpy(s, latency_dist_template, sizeof(s));
    s[0].count = 100; // every sample in one bucket: the last palette entry
    std::string row = captureStdout([&] { showLatencyDistSamples(s, 100); });
    EXPECT_EQ(row.rfind("\033[38;5;0m\033[48;5;196m.\033[48;5;0m-", 0), 0u) << row;
    EXPECT_EQ(row.substr(row.size() - 5), "\033[0m\n");
    for (const distsamples &b : s)
        EXPECT_EQ(b.count, 0); // cleared for the next interval

    // One sample in 1000 still gets the second entry (ceil), never the first.
    s[3].count = 1;
    s[4].count = 999;
    row = captureStdout([&] { showLatencyDistSamples(s, 1000); });
    EXPECT_NE(row.find("\033[48;5;233m#"), std::string::npos) << row;
    EXPECT_NE(row.find("\033[48;5;196m1"), std::string::npos) << row;
}

TEST(LatencySpectrum, LegendShowsThePaletteInUse) {
    int *saved = spectrum_palette;
    int saved_size = spectrum_palette_size;
    for (int mono = 0; mono < 2; mono++) {
        spectrum_palette = mono ? spectrum_palette_mono : spectrum_palette_color;
        spectrum_palette_size = mono ? spectrum_palette_mono_size : spectrum_palette_color_size;
        std::string legend = captureStdout(showLatencyDistLegend);
        size_t cells = 0;
        for (size_t p = legend.find("\033[48;5;"); p != std::string::npos;
             p = legend.find("\033[48;5;", p + 1))
            cells++;
        EXPECT_EQ(cells, mono ? 13u : 19u);
        EXPECT_NE(legend.find("From 0 to 100%: \033[48;5;0m "), std::string::npos);
        EXPECT_NE(legend.find(mono ? "\033[48;5;253m \033[0m\n" : "\033[48;5;196m \033[0m\n"),
                  std::string::npos);
    }
    spectrum_palette = saved;
    spectrum_palette_size = saved_size;
}
