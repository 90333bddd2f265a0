// Colour palettes of the latency spectrum: xterm 256-colour indexes, from
// "no samples" to "most samples". They live with the option that picks one
// (--mono); the spectrum mode only reads the palette in use.
#pragma once

extern int spectrum_palette_color[];
extern int spectrum_palette_color_size;
extern int spectrum_palette_mono[];
extern int spectrum_palette_mono_size;

// The palette in use: the colour one from start-up, the grey one after --mono.
extern int *spectrum_palette;
extern int spectrum_palette_size;
