#include "record/overlay.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace lumeth::record {

void draw_overlay(SDL_Renderer* renderer, const char* const (&lines)[kOverlayLines]) {
    std::string text[kOverlayLines];
    std::size_t columns = 0;
    for (int i = 0; i < kOverlayLines; ++i) {
        text[i].assign(lines[i], std::min<std::size_t>(std::strlen(lines[i]), kOverlayColumns));
        columns = std::max(columns, text[i].size());
    }

    Uint8 r, g, b, a;
    SDL_BlendMode blend;
    SDL_GetRenderDrawColor(renderer, &r, &g, &b, &a);
    SDL_GetRenderDrawBlendMode(renderer, &blend);

    const SDL_FRect panel = {
        0.0f, 0.0f,
        static_cast<float>(static_cast<int>(columns) * kOverlayGlyph + 2 * kOverlayPadding),
        static_cast<float>(kOverlayBounds.h)};
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 176);
    SDL_RenderFillRect(renderer, &panel);

    // The text is drawn at the font's size under a scale, so positions are in font pixels.
    float scale_x, scale_y;
    SDL_GetRenderScale(renderer, &scale_x, &scale_y);
    SDL_SetRenderScale(renderer, kOverlayTextScale, kOverlayTextScale);
    SDL_SetRenderDrawColor(renderer, 235, 235, 235, 255);
    constexpr float kStep = static_cast<float>(kOverlayGlyph + kOverlayPadding) / kOverlayTextScale;
    constexpr float kLeft = static_cast<float>(kOverlayPadding) / kOverlayTextScale;
    constexpr float kFontSize = SDL_DEBUG_TEXT_FONT_CHARACTER_SIZE;
    for (int i = 0; i < kOverlayLines; ++i) {
        const float top = kLeft + i * kStep;
        // SDL's font draws '|' as a broken bar (rows 0 to 2 and 4 to 6 of columns 3 and 4):
        // each is drawn here as the whole bar, rows 0 to 6, and left out of the text. The
        // texts are ASCII, so a character's column is its index.
        for (std::size_t column = 0; column < text[i].size(); ++column) {
            if (text[i][column] == '|') {
                text[i][column] = ' ';
                const SDL_FRect bar = {kLeft + column * kFontSize + 3.0f, top, 2.0f, 7.0f};
                SDL_RenderFillRect(renderer, &bar);
            }
        }
        SDL_RenderDebugText(renderer, kLeft, top, text[i].c_str());
    }
    SDL_SetRenderScale(renderer, scale_x, scale_y);

    SDL_SetRenderDrawColor(renderer, r, g, b, a);
    SDL_SetRenderDrawBlendMode(renderer, blend);
}

}  // namespace lumeth::record
