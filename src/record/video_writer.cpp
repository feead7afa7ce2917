#include "record/video_writer.h"

#include "record/file_commit.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace lumeth::record {
namespace {

// FFmpeg's name for SDL's BGRX32: bytes B, G, R, unused in memory on every machine.
constexpr AVPixelFormat kSourceFormat = AV_PIX_FMT_BGR0;

std::string av_error(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// x264's speed against size: the fastest preset. Frames of 100,000 single-pixel stars are
// expensive to compress; slower presets save a third of the size at three times the time.
constexpr const char* kX264Preset = "ultrafast";

}  // namespace

VideoWriter::~VideoWriter() {
    if (format_ != nullptr || codec_ != nullptr || file_open_) {
        discard();
    }
}

VideoWriter::OpenResult VideoWriter::open(const VideoSettings& settings, std::string* error) {
    settings_ = settings;
    // libx264 and the muxers report progress and statistics at the info level: only errors.
    av_log_set_level(AV_LOG_ERROR);

    std::error_code ignored;
    if (std::filesystem::is_directory(settings.path, ignored)) {
        *error = "'" + settings.path + "' is a folder; name a file in it, such as '" +
                 (std::filesystem::path(settings.path) / "lumeth.mp4").string() + "'";
        return OpenResult::bad_output;
    }
    const char* container = container_for(settings.path);
    if (container == nullptr) {
        *error = "'" + settings.path + "' has no known container extension (.mp4, .mov, .mkv)";
        return OpenResult::bad_output;
    }
    const AVOutputFormat* output_format = av_guess_format(container, nullptr, nullptr);
    const bool h264 = settings.codec == Codec::h264;
    const AVCodecID codec_id = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_FFV1;
    if (output_format == nullptr ||
        avformat_query_codec(output_format, codec_id, FF_COMPLIANCE_NORMAL) != 1) {
        *error = std::string(codec_name(settings.codec)) + " cannot be stored in '" +
                 settings.path + "' (use .mkv)";
        return OpenResult::bad_output;
    }
    const AVCodec* encoder =
        h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(codec_id);
    if (encoder == nullptr) {
        *error = std::string("this FFmpeg has no ") + (h264 ? "libx264" : "ffv1") + " encoder";
        return OpenResult::failed;
    }

    const AVRational rate = av_d2q(settings.fps, 1000000);
    codec_ = avcodec_alloc_context3(encoder);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (codec_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
        *error = "out of memory setting up the encoder";
        close();
        return OpenResult::failed;
    }
    codec_->width = settings.width;
    codec_->height = settings.height;
    codec_->time_base = av_inv_q(rate);
    codec_->framerate = rate;
    // H.264 in 4:2:0, which every player decodes; FFV1 on the frame's own pixels where it
    // takes them, else on planar RGB: lossless either way.
    codec_->pix_fmt = AV_PIX_FMT_YUV420P;
    if (!h264) {
        codec_->pix_fmt = AV_PIX_FMT_GBRP;
        for (const AVPixelFormat* f = encoder->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE;
             ++f) {
            if (*f == kSourceFormat) {
                codec_->pix_fmt = kSourceFormat;
            }
        }
    }
    if (output_format->flags & AVFMT_GLOBALHEADER) {
        codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    char text[64];
    if (h264) {
        av_opt_set(codec_->priv_data, "preset", kX264Preset, 0);
        av_opt_set_int(codec_->priv_data, "crf", settings.quality, 0);
        std::snprintf(text, sizeof text, "h264 (libx264 %s, crf %d)", kX264Preset,
                      settings.quality);
    } else {
        // Version 3 with per-slice checksums: slices let the encoder use every core.
        av_opt_set_int(codec_->priv_data, "slicecrc", 1, 0);
        codec_->level = 3;
        codec_->thread_count = 0;
        std::snprintf(text, sizeof text, "ffv1 (lossless rgb)");
    }
    description_ = text;
    int status = avcodec_open2(codec_, encoder, nullptr);
    if (status < 0) {
        *error = "cannot open the " + std::string(encoder->name) + " encoder: " + av_error(status);
        close();
        return OpenResult::failed;
    }

    frame_->format = codec_->pix_fmt;
    frame_->width = settings.width;
    frame_->height = settings.height;
    scaler_ =
        sws_getContext(settings.width, settings.height, kSourceFormat, settings.width,
                       settings.height, codec_->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (av_frame_get_buffer(frame_, 0) < 0 || scaler_ == nullptr) {
        *error = "cannot set up the frame conversion";
        close();
        return OpenResult::failed;
    }

    avformat_alloc_output_context2(&format_, output_format, nullptr, settings.path.c_str());
    if (format_ != nullptr) {
        stream_ = avformat_new_stream(format_, nullptr);
    }
    if (stream_ == nullptr || avcodec_parameters_from_context(stream_->codecpar, codec_) < 0) {
        *error = "cannot set up the " + std::string(output_format->name) + " container";
        close();
        return OpenResult::failed;
    }
    stream_->time_base = codec_->time_base;
    stream_->avg_frame_rate = rate;

    // The video grows in a temporary file beside its final name, which it takes only when
    // complete: an earlier file of that name stays as it was until then.
    struct stat info {};
    replaces_file_ = stat(settings.path.c_str(), &info) == 0;
    const int fd = create_temporary_beside(settings.path, &temporary_);
    if (fd < 0) {
        *error = "cannot create '" + settings.path + "': " + std::strerror(errno);
        close();
        return OpenResult::bad_output;
    }
    ::close(fd);
    file_open_ = true;
    // The muxer reopens its file by this name (MP4's index moved to the front).
    av_freep(&format_->url);
    format_->url = av_strdup(temporary_.c_str());
    status = avio_open(&format_->pb, temporary_.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) {
        *error = "cannot create '" + settings.path + "': " + av_error(status);
        discard();
        return OpenResult::bad_output;
    }
    AVDictionary* muxer_options = nullptr;
    if (std::string(container) != "matroska") {
        // The index goes before the frames once the file is complete, so a player can start
        // before it has the whole file.
        av_dict_set(&muxer_options, "movflags", "+faststart", 0);
    }
    status = avformat_write_header(format_, &muxer_options);
    av_dict_free(&muxer_options);
    if (status < 0) {
        *error = "cannot write the header of '" + settings.path + "': " + av_error(status);
        discard();
        return OpenResult::failed;
    }
    return OpenResult::ok;
}

bool VideoWriter::write(const void* pixels, int pitch, std::string* error) {
    int status = av_frame_make_writable(frame_);
    if (status < 0) {
        *error = "cannot get a frame buffer: " + av_error(status);
        return false;
    }
    const uint8_t* source[1] = {static_cast<const uint8_t*>(pixels)};
    const int source_pitch[1] = {pitch};
    sws_scale(scaler_, source, source_pitch, 0, settings_.height, frame_->data, frame_->linesize);
    frame_->pts = next_pts_;
    if (!send(frame_, error)) {
        return false;
    }
    ++next_pts_;
    return true;
}

bool VideoWriter::send(const AVFrame* frame, std::string* error) {
    int status = avcodec_send_frame(codec_, frame);
    if (status < 0) {
        *error =
            "the encoder refused frame " + std::to_string(next_pts_ + 1) + ": " + av_error(status);
        return false;
    }
    for (;;) {
        status = avcodec_receive_packet(codec_, packet_);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            return true;
        }
        if (status < 0) {
            *error = "encoding failed: " + av_error(status);
            return false;
        }
        av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        status = av_interleaved_write_frame(format_, packet_);
        if (status < 0) {
            *error = "writing to '" + settings_.path + "' failed: " + av_error(status);
            return false;
        }
    }
}

bool VideoWriter::complete(std::string* error) {
    if (!send(nullptr, error)) {
        return false;
    }
    int status = av_write_trailer(format_);
    if (status < 0) {
        *error = "cannot finish '" + settings_.path + "': " + av_error(status);
        return false;
    }
    status = avio_closep(&format_->pb);
    if (status < 0) {
        *error = "closing '" + settings_.path + "' failed: " + av_error(status);
        discard();
        return false;
    }
    file_open_ = false;
    close();
    return true;
}

bool VideoWriter::finish(std::string* error) {
    return complete(error) && commit_temporary(temporary_, settings_.path, error);
}

bool VideoWriter::finish_as_new(const std::vector<std::string>& names, std::string* kept,
                                std::string* error) {
    return complete(error) && commit_temporary_as_new(temporary_, names, kept, error);
}

void VideoWriter::discard() {
    const bool remove = file_open_;
    close();
    file_open_ = false;
    if (remove) {
        std::remove(temporary_.c_str());
    }
}

void VideoWriter::close() {
    if (format_ != nullptr && format_->pb != nullptr) {
        avio_closep(&format_->pb);
    }
    avformat_free_context(format_);
    format_ = nullptr;
    stream_ = nullptr;
    avcodec_free_context(&codec_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
    scaler_ = nullptr;
}

}  // namespace lumeth::record
