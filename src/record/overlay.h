// The statistics panel drawn into the top-left corner of every recorded frame: SDL's debug
// text on a dark, translucent panel, at twice the font's size.
#pragma once

#include <SDL3/SDL.h>

namespace lumeth::record {

constexpr int kOverlayTextScale = 2;
constexpr int kOverlayGlyph = SDL_DEBUG_TEXT_FONT_CHARACTER_SIZE * kOverlayTextScale;
constexpr int kOverlayPadding = 8;  // pixels around the text and between the lines
constexpr int kOverlayLines = 2;
constexpr int kOverlayColumns = 80;  // a longer line is cut
// The most the panel ever covers: everything outside stays as the frame was drawn.
constexpr SDL_Rect kOverlayBounds = {
    0, 0, kOverlayColumns* kOverlayGlyph + 2 * kOverlayPadding,
    kOverlayLines* kOverlayGlyph + (kOverlayLines + 1) * kOverlayPadding};

// Draws the panel, as wide as the longer line, and the lines on it. Leaves the renderer's
// scale, colour and blend mode as it found them.
void draw_overlay(SDL_Renderer* renderer, const char* const (&lines)[kOverlayLines]);

}  // namespace lumeth::record
