// lumeth-record end to end: bad command lines leave nothing behind, the videos decode (with
// libavformat and libavcodec) to the frames, size, codec and rate asked for, a lossless video
// holds exactly what render_frame draws, and a stop signal or a failed write is handled.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/render.h"
#include "gpu/step_driver.h"
#include "record/options.h"
#include "record/overlay.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "test_app_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = lumeth::kWindowWidth;
constexpr int kHeight = lumeth::kWindowHeight;

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh, empty folder for one test's files, removed afterwards.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "lumeth-record-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path_); }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }
    // The files in the folder other than the program's captured output.
    std::vector<std::string> videos() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            const std::string name = entry.path().filename().string();
            if (name != "stdout" && name != "stderr") {
                names.push_back(name);
            }
        }
        return names;
    }

  private:
    fs::path path_;
};

// lumeth-record started with `args`, its output captured in the scratch folder.
class Recorder {
  public:
    Recorder(const Scratch& scratch, std::vector<std::string> args, long file_size_limit = 0)
        : scratch_(scratch) {
        args.insert(args.begin(), LUMETH_RECORD_PROGRAM);
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open((scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open((scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            if (file_size_limit > 0) {
                // A write past the limit then fails with EFBIG instead of killing the process.
                signal(SIGXFSZ, SIG_IGN);
                const rlimit limit = {static_cast<rlim_t>(file_size_limit),
                                      static_cast<rlim_t>(file_size_limit)};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }

    // Waits for the program to end; its exit status, or 128 plus the signal that killed it.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void signal_it(int sig) const { kill(pid_, sig); }
    std::string out() const { return read_file(scratch_ / "stdout"); }
    std::string err() const { return read_file(scratch_ / "stderr"); }

  private:
    const Scratch& scratch_;
    pid_t pid_ = -1;
};

int record(const Scratch& scratch, const std::vector<std::string>& args, std::string* err) {
    Recorder recorder(scratch, args);
    const int status = recorder.wait();
    *err = recorder.err();
    return status;
}

// A video as libavformat and libavcodec read it back.
struct Decoded {
    std::string error;  // empty when the whole file decoded
    std::string codec;
    int width = 0, height = 0;
    AVRational rate = {0, 1};
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int frames = 0;
    std::vector<std::vector<std::uint8_t>> pixels;  // kept for bgr0 frames: B, G, R, 0 rows
};

Decoded decode(const fs::path& path) {
    Decoded d;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        d.error = "cannot open " + path.string();
        avformat_close_input(&format);
        return d;
    }
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    AVCodecContext* context = index >= 0 ? avcodec_alloc_context3(codec) : nullptr;
    if (context == nullptr ||
        avcodec_parameters_to_context(context, format->streams[index]->codecpar) < 0 ||
        avcodec_open2(context, codec, nullptr) < 0) {
        d.error = "no decodable video stream";
    } else {
        d.codec = codec->name;
        d.width = context->width;
        d.height = context->height;
        d.rate = format->streams[index]->avg_frame_rate;
        d.format = context->pix_fmt;
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto drain = [&] {
            while (avcodec_receive_frame(context, frame) == 0) {
                ++d.frames;
                if (frame->format == AV_PIX_FMT_BGR0) {
                    std::vector<std::uint8_t> rows(static_cast<std::size_t>(kWidth) * kHeight * 4);
                    for (int y = 0; y < kHeight; ++y) {
                        std::memcpy(&rows[static_cast<std::size_t>(y) * kWidth * 4],
                                    frame->data[0] + y * frame->linesize[0], kWidth * 4);
                    }
                    d.pixels.push_back(std::move(rows));
                }
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == index && avcodec_send_packet(context, packet) < 0) {
                d.error = "a packet does not decode";
            }
            av_packet_unref(packet);
            drain();
        }
        avcodec_send_packet(context, nullptr);
        drain();
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return d;
}

bool in_overlay(int x, int y) {
    const SDL_Rect& b = lumeth::record::kOverlayBounds;
    return x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h;
}

// Pixels outside the statistics corner where two bgr0 frames differ.
int differences_outside_overlay(const std::vector<std::uint8_t>& a,
                                const std::vector<std::uint8_t>& b) {
    int count = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * kWidth + x) * 4;
            if (!in_overlay(x, y) && std::memcmp(&a[i], &b[i], 3) != 0) {
                ++count;
            }
        }
    }
    return count;
}

TEST(RecordCommandLine, BadInputExitsWith2AndLeavesNothingBehind) {
    Scratch scratch;
    const std::string out = (scratch / "v.mp4").string();
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--frames", "12x"},
        {"--frames", "0"},
        {"--frames"},
        {"--particles", "-5"},
        {"--fps", "0"},
        {"--fps", "nan"},
        {"--zoom=-1"},
        {"--zoom", "inf"},
        // Short runs, should one be taken by mistake.
        {"--zoom", "1e300", "--frames", "1"},
        {"--zoom", "0.009", "--frames", "1"},
        {"--step-myr", "abc"},
        {"--step-myr", "1e300", "--frames", "1"},
        {"--step-myr", "1e291", "--frames", "2000", "--particles", "1000"},
        {"--frames=1", "--frames", "2"},
        {"--show-rate", "--frames", "1", "--show-rate"},
        {"--seed", "4294967296"},
        {"--codec", "vp9"},
        {"--codec", "ffv1", "--quality", "10"},
        {"--out", (scratch / "missing" / "v.mp4").string()},
        {"--out", "/proc/lumeth-record-test.mp4"},
        {"--out", (scratch / "v.avi").string()},
        {"--out", (scratch / "v").string()},
        {"--codec", "ffv1", "--out", out},
        {"--out", scratch.path().string()},
    };
    // Where the value is missing, out of its range or given twice, or the output is a folder,
    // the message says so.
    const std::vector<std::pair<std::string, std::string>> says = {
        {"--frames --out",
         "lumeth-record: --frames needs a value: a whole number from 1 to "
         "1000000000\n"},
        {"--zoom 1e300", "--zoom needs a number from 0.01 to 10000, got '1e300'\n"},
        {"--step-myr 1e291 --frames",
         "--step-myr needs a number whose product with --frames (2000) is at most 1e294 Myr, "
         "got '1e291'\n"},
        {"--frames=1 --frames", "lumeth-record: --frames given twice\n"},
        {"--out " + scratch.path().string(), "' is a folder; name a file in it"},
    };
    std::size_t said = 0;
    for (std::vector<std::string> args : cases) {
        if (args.size() < 2 || args[args.size() - 2] != "--out") {
            args.insert(args.end(), {"--out", out});
        }
        std::string joined;
        for (const std::string& a : args) {
            joined += a + " ";
        }
        SCOPED_TRACE(joined);
        std::string err;
        EXPECT_EQ(record(scratch, args, &err), 2);
        // One message, naming the program.
        EXPECT_EQ(err.rfind("lumeth-record: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(scratch.videos().empty());
        for (const auto& [start, text] : says) {
            if (joined.rfind(start + " ", 0) == 0) {
                EXPECT_NE(err.find(text), std::string::npos) << err;
                ++said;
            }
        }
    }
    EXPECT_EQ(said, says.size());

    // The ends of the zoom's range are taken, and a step that stays finite over the run.
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--zoom", "0.01"}, {"--zoom=10000"}, {"--step-myr", "1e291"}}) {
        args.insert(args.begin(), "lumeth-record");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        lumeth::record::RecordOptions options;
        EXPECT_EQ(
            lumeth::record::parse_options(static_cast<int>(argv.size()), argv.data(), &options), -1)
            << args[1];
    }

    Recorder help(scratch, {"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(help.out().rfind("Usage: lumeth-record", 0), 0u) << help.out();
}

TEST(RecordedVideo, H264InMp4HasTheFramesSizeCodecAndRateAskedFor) {
    Scratch scratch;
    Recorder recorder(scratch, {"--frames", "4", "--particles", "3000", "--seed", "42", "--fps",
                                "24", "--quality", "30", "--out", (scratch / "v.mp4").string()});
    ASSERT_EQ(recorder.wait(), 0) << recorder.err();
    const std::string out = recorder.out();
    EXPECT_NE(out.find("seed 42"), std::string::npos) << out;
    EXPECT_NE(out.find("4 frames in"), std::string::npos) << out;
    EXPECT_NE(out.find("crf 30"), std::string::npos) << out;

    const Decoded d = decode(scratch / "v.mp4");
    ASSERT_EQ(d.error, "");
    EXPECT_EQ(d.codec, "h264");
    EXPECT_EQ(d.frames, 4);
    EXPECT_EQ(d.width, kWidth);
    EXPECT_EQ(d.height, kHeight);
    EXPECT_EQ(d.format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(av_cmp_q(d.rate, AVRational{24, 1}), 0) << d.rate.num << "/" << d.rate.den;
}

class LosslessVideo : public lumeth_test::OffscreenSdl {};

// Both runs start from the same seed with the same options, so they give the same frames,
// whole frames with the statistics corner: it shows only simulated quantities. With
// --show-rate the corner also shows the measured rate and differs, the rest stays. The
// first frame is render_frame's picture of the galaxy after one step of the length asked
// for, at the zoom asked for.
TEST_F(LosslessVideo, FramesAreRenderFramesPicturesAndRepeatWithTheSeed) {
    constexpr int kCount = 3000;
    constexpr double kStepMyr = 5.0;
    Scratch scratch;
    for (const char* name : {"a.mkv", "b.mkv", "rate.mkv"}) {
        std::vector<std::string> args = {"--frames",    "3",
                                         "--particles", "3000",
                                         "--seed",      "42",
                                         "--step-myr",  "5",
                                         "--zoom",      "2.5",
                                         "--codec",     "ffv1",
                                         "--out",       (scratch / name).string()};
        if (std::string(name) == "rate.mkv") {
            args.push_back("--show-rate");
        }
        Recorder recorder(scratch, args);
        ASSERT_EQ(recorder.wait(), 0) << recorder.err();
    }
    const Decoded a = decode(scratch / "a.mkv");
    const Decoded b = decode(scratch / "b.mkv");
    const Decoded rate = decode(scratch / "rate.mkv");
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.codec, "ffv1");
    EXPECT_EQ(av_cmp_q(a.rate, AVRational{30, 1}), 0) << a.rate.num << "/" << a.rate.den;
    ASSERT_EQ(a.pixels.size(), 3u);
    ASSERT_EQ(b.pixels.size(), 3u);
    ASSERT_EQ(rate.pixels.size(), 3u);
    for (int f = 0; f < 3; ++f) {
        EXPECT_TRUE(a.pixels[f] == b.pixels[f]) << "frame " << f << " differs between the runs";
        EXPECT_EQ(differences_outside_overlay(a.pixels[f], rate.pixels[f]), 0) << "frame " << f;
        EXPECT_FALSE(a.pixels[f] == rate.pixels[f]) << "no rate in the corner of frame " << f;
    }
    EXPECT_GT(differences_outside_overlay(a.pixels[0], a.pixels[2]), 0) << "the galaxy stood still";

    std::vector<Particle> particles(kCount);
    lumeth::generate_galaxy(particles.data(), kCount, 42);
    step_forces(particles.data(), kCount);
    step_integrate(particles.data(), kCount, kStepMyr * lumeth::kSecondsPerMegayear);
    use(particles.data(), kCount);
    state_.scale = lumeth::kProjectionScale;
    state_.zoom = 2.5;
    render_frame(&state_, 60.0);

    int different = 0, overlay_changed = 0, drawn = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* v = &a.pixels[0][(static_cast<std::size_t>(y) * kWidth + x) * 4];
            const lumeth_test::Rgba p = pixel(x, y);
            const bool same = v[2] == p.r && v[1] == p.g && v[0] == p.b;
            if (in_overlay(x, y)) {
                overlay_changed += same ? 0 : 1;
            } else {
                different += same ? 0 : 1;
                drawn += p != lumeth_test::kBlack ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(different, 0);
    EXPECT_GT(drawn, kCount / 2) << "the frame shows too few particles to compare";
    EXPECT_GT(overlay_changed, 0) << "no statistics in the corner";

    // The second line, "Step: 5 Myr | Frame 1/3", has its '|' in column 12: a bar two font
    // pixels wide and seven high, unbroken, in the text's colour, on the panel below it.
    using namespace lumeth::record;
    const int bar_x = kOverlayPadding + 12 * kOverlayGlyph + 3 * kOverlayTextScale;
    const int bar_y = kOverlayPadding + kOverlayGlyph + kOverlayPadding;
    for (int y = bar_y; y <= bar_y + 7 * kOverlayTextScale; ++y) {
        for (int x = bar_x; x < bar_x + 2 * kOverlayTextScale; ++x) {
            const std::uint8_t* v = &a.pixels[0][(static_cast<std::size_t>(y) * kWidth + x) * 4];
            const bool text = v[0] == 235 && v[1] == 235 && v[2] == 235;
            EXPECT_EQ(text, y < bar_y + 7 * kOverlayTextScale)
                << "bar at (" << x << ", " << y << ")";
        }
    }
}

// A stopped run completes its file: it decodes to the frames the summary counts.
TEST(RecordInterrupt, StopSignalKeepsAPlayableVideo) {
    struct Case {
        int sig;
        const char* name;
        const char* codec;
        const char* stopped_by;
    };
    for (const Case& c : {Case{SIGINT, "v.mp4", "h264", "(stopped by SIGINT)"},
                          Case{SIGTERM, "v.mkv", "ffv1", "(stopped by SIGTERM)"}}) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        Recorder recorder(scratch, {"--frames", "100000", "--particles", "2000", "--codec", c.codec,
                                    "--out", (scratch / c.name).string()});
        // The first progress line comes after the first frame.
        for (int i = 0; i < 600 && recorder.err().find("frames/s") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        recorder.signal_it(c.sig);
        ASSERT_EQ(recorder.wait(), 128 + c.sig) << recorder.err();

        const std::string out = recorder.out();
        const std::size_t summary = out.find(c.stopped_by);
        ASSERT_NE(summary, std::string::npos) << out;
        const std::size_t count_end = out.rfind(" frames", summary);
        const std::size_t count_start = out.rfind(' ', count_end - 1) + 1;
        const int frames = std::stoi(out.substr(count_start, count_end - count_start));
        const Decoded d = decode(scratch / c.name);
        ASSERT_EQ(d.error, "");
        EXPECT_GE(frames, 1);
        EXPECT_LT(frames, 100000);
        EXPECT_EQ(d.frames, frames);
    }
}

TEST(RecordWriteFailure, FailedWriteExitsWith1AndRemovesThePartialFile) {
    Scratch scratch;
    // The file may grow to 128 KiB, a dozen frames or so of a galaxy that stays in view (MP4
    // writes each frame as it comes; Matroska would hold seconds of them back): every later
    // write fails.
    Recorder recorder(scratch,
                      {"--frames", "200", "--particles", "2000", "--step-myr", "1", "--out",
                       (scratch / "v.mp4").string()},
                      128 * 1024);
    EXPECT_EQ(recorder.wait(), 1);
    const std::string err = recorder.err();
    EXPECT_NE(err.find("File too large; '"), std::string::npos) << err;
    EXPECT_NE(err.find("' removed"), std::string::npos) << err;
    EXPECT_TRUE(scratch.videos().empty());
}

}  // namespace
