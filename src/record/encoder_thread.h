// Encodes read-back frames on a thread of its own, so that the conversion and the encoder
// run while the next frame is stepped and drawn. Frames are encoded in the order handed in.
#pragma once

#include <SDL3/SDL.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "record/video_writer.h"

namespace lumeth::record {

class EncoderThread {
  public:
    // Starts the thread; at most `depth` frames wait for it.
    EncoderThread(VideoWriter* writer, int depth);
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;
    // Encodes what is still waiting, then joins.
    ~EncoderThread();

    // Hands over a frame in SDL_PIXELFORMAT_BGRX32, which the thread destroys once encoded.
    // Waits while `depth` frames are waiting. False, with the frame destroyed, once encoding
    // has failed.
    bool submit(SDL_Surface* frame);

    // Waits until every frame handed in is encoded and stops the thread. False, with *error
    // set, when encoding failed.
    bool finish(std::string* error);

    // Seconds the thread spent converting and encoding.
    double busy_seconds() const;

  private:
    void run();

    VideoWriter* writer_;
    std::size_t depth_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SDL_Surface*> waiting_;
    bool closing_ = false;
    bool failed_ = false;
    std::string error_;
    double busy_ = 0.0;
    std::thread thread_;
};

}  // namespace lumeth::record
