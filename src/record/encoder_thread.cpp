#include "record/encoder_thread.h"

#include <chrono>

namespace lumeth::record {

EncoderThread::EncoderThread(VideoWriter* writer, int depth)
    : writer_(writer), depth_(static_cast<std::size_t>(depth)), thread_([this] { run(); }) {}

EncoderThread::~EncoderThread() {
    std::string ignored;
    finish(&ignored);
}

bool EncoderThread::submit(SDL_Surface* frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return failed_ || waiting_.size() < depth_; });
    if (failed_) {
        lock.unlock();
        SDL_DestroySurface(frame);
        return false;
    }
    waiting_.push_back(frame);
    changed_.notify_all();
    return true;
}

bool EncoderThread::finish(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) {
        *error = error_;
    }
    return !failed_;
}

double EncoderThread::busy_seconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

void EncoderThread::run() {
    for (;;) {
        SDL_Surface* frame = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
            if (waiting_.empty()) {
                return;
            }
            frame = waiting_.front();
        }
        const auto start = std::chrono::steady_clock::now();
        std::string error;
        const bool written = writer_->write(frame->pixels, frame->pitch, &error);
        const auto stop = std::chrono::steady_clock::now();
        SDL_DestroySurface(frame);

        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.pop_front();
        busy_ += std::chrono::duration<double>(stop - start).count();
        if (!written) {
            failed_ = true;
            error_ = error;
            // Nothing more is encoded: drop what waits.
            for (SDL_Surface* dropped : waiting_) {
                SDL_DestroySurface(dropped);
            }
            waiting_.clear();
        }
        changed_.notify_all();
        if (failed_) {
            return;
        }
    }
}

}  // namespace lumeth::record
