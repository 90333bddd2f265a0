// NO_COLOR: one decision, asked by every place that colours its output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "cli/color.h"
#include "cli/config.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/palette.h"
#include "cli/render.h"
#include "scoped_env.h"

namespace {

std::string take(hisds s) {
    std::string r(s, hi_sdslen(s));
    hi_sdsfree(s);
    return r;
}

struct Case {
    const char *no_color; // nullptr: unset
    bool allowed;
};

// Set and not empty turns colours off, whatever the value says.
const Case cases[] = {
    {nullptr, true}, {"", true}, {"1", false}, {"0", false}, {"no", false},
};

TEST(ColorTest, NoColorSilencesEverySite) {
    ScopedEnv term("TERM", "xterm-256color");
    cliConfigSetDefaults();
    cliInitHelp();
    for (const Case &c : cases) {
        ScopedEnv nc("NO_COLOR", c.no_color);
        SCOPED_TRACE(c.no_color ? c.no_color : "<unset>");
        EXPECT_EQ(cliColorAllowed(), c.allowed);
        EXPECT_EQ(isColorTerm() != 0, c.allowed);
        EXPECT_EQ(std::string(cliColorEscape("\x1b[1m")), c.allowed ? "\x1b[1m" : "");

        // Debugger lines.
        std::string line = take(sdsCatColorizedLdbReply(hi_sdsempty(), "<reply> +OK", 11));
        EXPECT_EQ(line, c.allowed ? "\x1b[0;36;49m<reply> +OK\x1b[0m" : "<reply> +OK");
        EXPECT_EQ(take(sdscatcolor(hi_sdsempty(), "x", 1, "red")),
                  c.allowed ? "\x1b[0;31;49mx\x1b[0m" : "x");

        // Hints: grey, or the text's own style.
        int color = 0, bold = 1;
        char *h = hintsCallback("set ", &color, &bold);
        ASSERT_NE(h, nullptr);
        freeHintsCallback(h);
        EXPECT_EQ(color, c.allowed ? 90 : -1);
        EXPECT_EQ(bold, 0);

        // Cluster log colour flag, recorded with the sub-command.
        config.cluster_manager_command.flags = 0;
        char name[] = "check";
        createClusterManagerCommand(name, 0, nullptr);
        EXPECT_EQ((config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_COLOR) != 0,
                  c.allowed);

        // The spectrum's palette.
        cliConfigSetDefaults();
        EXPECT_EQ(spectrum_palette, c.allowed ? spectrum_palette_color : spectrum_palette_mono);
        EXPECT_EQ(spectrum_palette_size,
                  c.allowed ? spectrum_palette_color_size : spectrum_palette_mono_size);
    }
    cliFreeHelp();
    cliConfigSetDefaults();
}

} // namespace
