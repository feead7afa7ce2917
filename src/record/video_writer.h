// Encodes frames of packed 32-bit pixels (bytes B, G, R, unused: SDL's BGRX32) into a video
// file with FFmpeg's libraries: libswscale converts, libavcodec encodes, libavformat muxes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/options.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace lumeth::record {

struct VideoSettings {
    std::string path;
    Codec codec = Codec::h264;
    int quality = kDefaultQuality;  // h264's constant rate factor
    int width = 0;
    int height = 0;
    double fps = 30.0;
};

class VideoWriter {
  public:
    // How open() failed.
    enum class OpenResult {
        ok,
        bad_output,  // no known container, a codec it cannot hold, or a file that cannot be
                     // created: nothing was written
        failed,      // the encoder could not be set up: nothing is left on disk
    };

    VideoWriter() = default;
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;
    // An open writer that was not finished is discarded: its file is removed.
    ~VideoWriter();

    // Sets up the encoder and the container, creates the file and writes its header. On
    // failure *error holds one sentence.
    OpenResult open(const VideoSettings& settings, std::string* error);

    // Encodes one frame of width x height pixels, `pitch` bytes per row. False on an encoder
    // or write failure, with *error set; the writer must then be discarded.
    bool write(const void* pixels, int pitch, std::string* error);

    // Drains the encoder, writes the container's trailer, closes the file and gives it its
    // name (it is written under a temporary one beside it until then).
    bool finish(std::string* error);

    // As finish, but the file takes the first of `names` that no file has (*kept), and
    // replaces none.
    bool finish_as_new(const std::vector<std::string>& names, std::string* kept,
                       std::string* error);

    // Closes the file and removes it; a file that had the name before is left as it was.
    void discard();

    // Whether the file is still being written: opened, neither finished nor discarded.
    bool is_open() const { return file_open_; }

    // Whether a file had the video's name when it was opened.
    bool replaces_file() const { return replaces_file_; }

    int frames_written() const { return static_cast<int>(next_pts_); }
    // The encoder in words, e.g. "h264 (libx264, crf 20)".
    const std::string& description() const { return description_; }

  private:
    bool send(const AVFrame* frame, std::string* error);
    // Drains the encoder, writes the trailer and closes the temporary file.
    bool complete(std::string* error);
    void close();

    VideoSettings settings_;
    std::string description_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVStream* stream_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    std::int64_t next_pts_ = 0;
    std::string temporary_;   // the file being written
    bool file_open_ = false;  // the temporary file exists
    bool replaces_file_ = false;
};

}  // namespace lumeth::record
