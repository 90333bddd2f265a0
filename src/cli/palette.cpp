#include "cli/palette.h"

int spectrum_palette_color[] = {0,   233, 234, 235, 237, 239, 241, 243, 245, 247,
                                144, 143, 142, 184, 226, 214, 208, 202, 196};
int spectrum_palette_color_size = 19;

int spectrum_palette_mono[] = {0, 233, 234, 235, 237, 239, 241, 243, 245, 247, 249, 251, 253};
int spectrum_palette_mono_size = 13;

int *spectrum_palette = spectrum_palette_color;
int spectrum_palette_size = 19;

static_assert(sizeof(spectrum_palette_color) / sizeof(int) == 19);
static_assert(sizeof(spectrum_palette_mono) / sizeof(int) == 13);
