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
    for (int i = 0; i < kOverlayLines; ++i) {
        SDL_RenderDebugText(renderer, kLeft, kLeft + i * kStep, text[i].c_str());
    }
    SDL_SetRenderScale(renderer, scale_x, scale_y);

    SDL_SetRenderDrawColor(renderer, r, g, b, a);
    SDL_SetRenderDrawBlendMode(renderer, blend);
}

}  // namespace lumeth::record
