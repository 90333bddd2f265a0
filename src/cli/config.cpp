#include "cli/config.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "cli/color.h"
#include "cli/palette.h"

cliConfig config;
cliPreferences pref = {1};

// Strings allocated while parsing that borrowed-looking char* fields point
// at (URI credentials, typed passwords). Owned here so that a reset does not
// lose them.
static std::vector<hisds> &keptStrings() {
    static std::vector<hisds> kept;
    return kept;
}

char *cliConfigKeepString(hisds s) {
    if (s) keptStrings().push_back(s);
    return s;
}

void cliConfigSetDefaults(void) {
    hi_sdsfree(config.hostip);
    hi_sdsfree(config.pattern);
    hi_sdsfree(config.mb_delim);
    hi_sdsfree(config.cmd_delim);
    for (hisds s : keptStrings())
        hi_sdsfree(s);
    keptStrings().clear();

    std::memset(&config, 0, sizeof(config));
    config.hostip = hi_sdsnew("127.0.0.1");
    config.hostport = 6379;
    config.repeat = 1;
    config.pipe_timeout = VORN_CLI_DEFAULT_PIPE_TIMEOUT;
    config.last_cmd_type = -1;
    config.cluster_manager_command.timeout = CLUSTER_MANAGER_DEFAULT_TIMEOUT;
    config.cluster_manager_command.pipeline = CLUSTER_MANAGER_DEFAULT_PIPELINE;
    config.cluster_manager_command.threshold = CLUSTER_MANAGER_DEFAULT_THRESHOLD;
    pref.hints = 1;
    // Without colours the spectrum falls back to its grey palette, as with
    // --mono.
    if (cliColorAllowed()) {
        spectrum_palette = spectrum_palette_color;
        spectrum_palette_size = spectrum_palette_color_size;
    } else {
        spectrum_palette = spectrum_palette_mono;
        spectrum_palette_size = spectrum_palette_mono_size;
    }

    if (isatty(STDOUT_FILENO) || getenv("FAKETTY") != nullptr) {
        config.output = OUTPUT_STANDARD;
        config.push_output = 1;
    } else {
        config.output = OUTPUT_RAW;
        config.push_output = 0;
    }
    config.mb_delim = hi_sdsnew("\n");
    config.cmd_delim = hi_sdsnew("\n");
}
