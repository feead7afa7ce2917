// lumeth-record end to end: bad command lines leave nothing behind, the videos decode (with
// libavformat and libavcodec) to the frames, size, codec and rate asked for, a lossless video
// holds exactly what render_frame draws, and a stop signal or a failed write is handled.
#include <fcntl.h>
#include <hdf5.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "app/render.h"
#include "gpu/step_driver.h"
#include "record/fletcher32.h"
#include "record/options.h"
#include "record/overlay.h"
#include "record/snapshot.h"
#include "record/snapshot_limits.h"
#include "sim/constants.h"
#include "sim/initial_conditions.h"
#include "snapshot_test_support.h"
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
    // The files and folders in the folder other than the program's captured output.
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

// The command that starts lumeth-record: a cross-built one through its emulator, a program of
// the build machine that the emulated test can start.
std::vector<std::string> record_command() {
#ifdef LUMETH_RECORD_EMULATOR
    return {LUMETH_RECORD_EMULATOR, LUMETH_RECORD_PROGRAM};
#else
    return {LUMETH_RECORD_PROGRAM};
#endif
}

// lumeth-record started with `args`, its output captured in the scratch folder.
class Recorder {
  public:
    // `environment`: NAME=VALUE settings for the program; `file_size_limit` > 0 limits the
    // size of every file it writes.
    Recorder(const Scratch& scratch, std::vector<std::string> args, long file_size_limit = 0,
             const std::vector<std::string>& environment = {})
        : scratch_(scratch) {
        const std::vector<std::string> command = record_command();
        args.insert(args.begin(), command.begin(), command.end());
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
            for (const std::string& setting : environment) {
                putenv(const_cast<char*>(setting.c_str()));
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

    // As wait, but a program still running after `seconds` is killed: -1.
    int wait_at_most(int seconds) {
        int status = 0;
        for (int i = 0; i < 10 * seconds; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        return -1;
    }

    pid_t pid() const { return pid_; }
    void signal_it(int sig) const { kill(pid_, sig); }
    std::string out() const { return read_file(scratch_ / "stdout"); }
    std::string err() const { return read_file(scratch_ / "stderr"); }

  private:
    const Scratch& scratch_;
    pid_t pid_ = -1;
};

// A run that does not end within a minute (one waiting on a FIFO) is killed: -1.
int record(const Scratch& scratch, const std::vector<std::string>& args, std::string* err) {
    Recorder recorder(scratch, args);
    const int status = recorder.wait_at_most(60);
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
        {"--snapshot-dir", (scratch / "d").string()},
        {"--snapshot-every", "0"},
        {"--replace-snapshots"},
        {"--snapshot-every", "1", "--snapshot-dir", "/proc/lumeth-record-test"},
        {"--snapshot-every", "1", "--snapshot-dir", (scratch / "missing" / "d").string()},
        {"--resume", (scratch / "missing.hdf5").string()},
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
        {"--snapshot-every 1 --snapshot-dir /proc/lumeth-record-test",
         "lumeth-record: cannot write snapshots to '/proc/lumeth-record-test': "},
        {"--resume " + (scratch / "missing.hdf5").string(),
         "cannot resume from '" + (scratch / "missing.hdf5").string() +
             "': cannot read it: No such file or directory\n"},
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
    // The limits on a snapshot to resume from, as the reader applies them.
    for (const std::string& limit :
         {std::to_string(lumeth::record::kMaxSnapshotBytes) + " bytes",
          std::to_string(lumeth::record::kMaxStepCount), std::string("--replace-snapshots")}) {
        EXPECT_NE(help.out().find(limit), std::string::npos) << limit;
    }
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

// A write that fails (a file past its size limit, as on a full disk) ends the run with one
// line and status 1: the unfinished files are removed, and the files that were there before
// (an earlier video of the same name, earlier snapshots) are as they were.
TEST(RecordWriteFailure, FailedWriteExitsWith1AndLeavesEarlierFilesAsTheyWere) {
    Scratch scratch;
    const std::string keep(100000, 'k');
    std::ofstream(scratch / "v.mp4", std::ios::binary) << keep;
    // The file may grow to 128 KiB, a dozen frames or so of a galaxy that stays in view (MP4
    // writes each frame as it comes; Matroska would hold seconds of them back): every later
    // write fails.
    Recorder recorder(scratch,
                      {"--frames", "200", "--particles", "2000", "--step-myr", "1", "--out",
                       (scratch / "v.mp4").string()},
                      128 * 1024);
    EXPECT_EQ(recorder.wait(), 1);
    const std::string err = recorder.err();
    // The video's own disk is full: it cannot be finished, which the message says.
    EXPECT_NE(err.find("' failed: File too large; the video cannot be finished either ("),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("; the unfinished video was removed, '" + (scratch / "v.mp4").string() +
                       "' is left as it was\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(read_file(scratch / "v.mp4"), keep);
    EXPECT_EQ(scratch.videos(), std::vector<std::string>{"v.mp4"});

    // Snapshots of 2000 particles are larger than 128 KiB: the first of a run resumed into
    // its folder fails, the earlier one of that name stays, and the video, which had no frame
    // yet, is not left behind.
    Scratch run;
    const std::string folder = (run / "s").string();
    std::vector<std::string> args = {"--frames",         "2", "--particles",    "2000",
                                     "--snapshot-every", "1", "--snapshot-dir", folder};
    ASSERT_EQ(Recorder(run, args).wait(), 0);
    std::vector<std::string> before;
    for (const char* name :
         {"snapshot_000000.hdf5", "snapshot_000001.hdf5", "snapshot_000002.hdf5"}) {
        before.push_back(read_file(run / "s" / name));
    }
    Recorder failing(
        run,
        {"--frames", "2", "--resume", folder + "/snapshot_000000.hdf5", "--snapshot-every", "1",
         "--snapshot-dir", folder, "--out", (run / "w.mkv").string(), "--codec", "ffv1"},
        128 * 1024);
    EXPECT_EQ(failing.wait(), 1);
    EXPECT_NE(failing.err().find("writing '" + folder +
                                 "/snapshot_000001.hdf5' failed: File too large; the "
                                 "unfinished video was removed\n"),
              std::string::npos)
        << failing.err();
    int index = 0;
    for (const char* name :
         {"snapshot_000000.hdf5", "snapshot_000001.hdf5", "snapshot_000002.hdf5"}) {
        EXPECT_EQ(read_file(run / "s" / name), before[index++]) << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(run / "s"), fs::directory_iterator()), 3);
    EXPECT_EQ(run.videos(), std::vector<std::string>{"s"});
}

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> folder_names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A run of 6 steps with a snapshot every 3 writes snapshots 0, 3 and 6, which hold the
// records after as many steps and the simulated time; the run resumed from 3 writes 6 again,
// byte for byte, and its frames are the uninterrupted run's frames 4 to 6, statistics
// included, at every CPU level.
TEST(RecordSnapshots, AResumedRunRepeatsTheUninterruptedOneByteForByte) {
    constexpr int kCount = 3000;
    constexpr double kStepMyr = 5.0;
    Scratch scratch;
    const std::string whole = (scratch / "whole").string();
    Recorder uninterrupted(
        scratch, {"--frames", "6", "--particles", "3000", "--seed", "42", "--step-myr", "5",
                  "--snapshot-every", "3", "--snapshot-dir", whole, "--codec", "ffv1", "--out",
                  (scratch / "whole.mkv").string()});
    ASSERT_EQ(uninterrupted.wait(), 0) << uninterrupted.err();
    EXPECT_NE(uninterrupted.out().find("3 snapshots, written in"), std::string::npos)
        << uninterrupted.out();
    EXPECT_EQ(folder_names(whole),
              (std::vector<std::string>{"snapshot_000000.hdf5", "snapshot_000003.hdf5",
                                        "snapshot_000006.hdf5"}));

    // The round trip: the snapshot holds the records after 3 steps, bit for bit.
    std::vector<Particle> particles(kCount);
    lumeth::generate_galaxy(particles.data(), kCount, 42);
    const double dt = kStepMyr * lumeth::kSecondsPerMegayear;
    double time = 0.0;
    for (int step = 0; step < 3; ++step) {
        step_forces(particles.data(), kCount);
        step_integrate(particles.data(), kCount, dt);
        time += dt;
    }
    lumeth::record::Snapshot snapshot;
    std::string error;
    ASSERT_TRUE(lumeth::record::read_snapshot(whole + "/snapshot_000003.hdf5", &snapshot, &error))
        << error;
    EXPECT_EQ(snapshot.info.particle_count, kCount);
    EXPECT_EQ(snapshot.info.step_count, 3);
    EXPECT_EQ(snapshot.info.sim_time, time);
    EXPECT_EQ(snapshot.info.step_seconds, dt);
    EXPECT_EQ(snapshot.info.seed, 42u);
    ASSERT_EQ(snapshot.particles.size(), particles.size());
    EXPECT_EQ(std::memcmp(snapshot.particles.data(), particles.data(), kCount * sizeof(Particle)),
              0);

    const Decoded a = decode(scratch / "whole.mkv");
    ASSERT_EQ(a.pixels.size(), 6u);
    for (const char* level : {"x86-64", "x86-64-v3", "x86-64-v4"}) {
        SCOPED_TRACE(level);
        const std::string name = std::string("resumed-") + level;
        const std::string folder = (scratch / name).string();
        // The snapshot fixes the count, the step and the seed: given alike, they are accepted.
        Recorder resumed(
            scratch,
            {"--frames", "3", "--resume", whole + "/snapshot_000003.hdf5", "--step-myr", "5",
             "--seed", "42", "--snapshot-every", "3", "--snapshot-dir", folder, "--codec", "ffv1",
             "--out", (scratch / (name + ".mkv")).string()},
            0, {std::string("LUMETH_CPU_LEVEL=") + level});
        ASSERT_EQ(resumed.wait(), 0) << resumed.err();
        EXPECT_EQ(folder_names(folder), std::vector<std::string>{"snapshot_000006.hdf5"});
        EXPECT_TRUE(read_bytes(folder + "/snapshot_000006.hdf5") ==
                    read_bytes(whole + "/snapshot_000006.hdf5"));
        const Decoded b = decode(scratch / (name + ".mkv"));
        ASSERT_EQ(b.pixels.size(), 3u);
        for (int f = 0; f < 3; ++f) {
            EXPECT_TRUE(b.pixels[f] == a.pixels[3 + f]) << "frame " << 4 + f;
        }
    }
}

// Builds a copy of `source` with one HDF5 attribute changed (the checksums stay valid).
void rewrite_attribute(const fs::path& source, const fs::path& copy, const char* group,
                       const char* name, hid_t type, const void* value) {
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    const hid_t file = H5Fopen(copy.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t g = H5Gopen2(file, group, H5P_DEFAULT);
    const hid_t a = H5Aopen(g, name, H5P_DEFAULT);
    EXPECT_GE(H5Awrite(a, type, value), 0) << group << "/" << name;
    H5Aclose(a);
    H5Gclose(g);
    H5Fclose(file);
}

// A copy of `source` changed by `edit` through HDF5's own API.
void edit_copy(const fs::path& source, const fs::path& copy,
               const std::function<void(hid_t)>& edit) {
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    const hid_t file = H5Fopen(copy.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    edit(file);
    H5Fclose(file);
}

// A snapshot of `count` particles of seed 7 written to `path`.
void write_snapshot_with(const fs::path& path, int count, long long steps, double time,
                         const std::string& backend = "CPU",
                         const std::string& math_library = "glibc") {
    write_bytes(path, snapshot_bytes(count, 7, steps, time, backend, math_library));
}

// A snapshot that cannot be resumed from, and options that contradict it: status 2, one
// line naming the file and the problem, and nothing written: no video, no snapshot folder.
// Hostile files among them cost nothing: a FIFO (given, or behind a link inside the file) is
// never waited on, a declared count is checked against the file's size before anything is
// allocated for it, and a step count is checked before any arithmetic on it.
TEST(RecordSnapshots, EveryBadResumeIsRefusedWithNothingWritten) {
    Scratch files;
    ASSERT_EQ(Recorder(files, {"--frames", "1", "--particles", "300", "--seed", "7",
                               "--snapshot-every", "1", "--snapshot-dir", files.path().string()})
                  .wait(),
              0);
    const fs::path good = files / "snapshot_000001.hdf5";
    const std::string bytes = read_bytes(good);
    write_bytes(files / "truncated.hdf5", bytes.substr(0, bytes.size() / 2));
    write_bytes(files / "text.hdf5", "step 3\n");
    write_bytes(files / "empty.hdf5", "");
    {
        // Another program's file, in the checksummed format.
        const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
        H5Pset_libver_bounds(fapl, H5F_LIBVER_V110, H5F_LIBVER_V110);
        const hid_t file =
            H5Fcreate((files / "other.hdf5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
        H5Gclose(H5Gcreate2(file, "Header", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
        H5Fclose(file);
        H5Pclose(fapl);
    }
    // A flipped bit in the particles' data, and one in an object header (the attribute
    // names are stored in the headers).
    lumeth::record::Snapshot held;
    std::string held_error;
    ASSERT_TRUE(lumeth::record::read_snapshot(good.string(), &held, &held_error)) << held_error;
    const std::size_t data_at =
        bytes.find(std::string(reinterpret_cast<const char*>(&held.particles[150]), 8));
    ASSERT_NE(data_at, std::string::npos);
    std::string flipped = bytes;
    flipped[data_at + 3] ^= 0x10;
    write_bytes(files / "flipped-data.hdf5", flipped);
    flipped = bytes;
    flipped[bytes.find("StepCount") + 2] ^= 0x01;
    write_bytes(files / "flipped-header.hdf5", flipped);
    const unsigned counts[6] = {0, 30, 210, 61, 0, 1};
    rewrite_attribute(good, files / "counts.hdf5", "Header", "NumPart_Total", H5T_NATIVE_UINT,
                      counts);
    const int none = 0;
    rewrite_attribute(good, files / "no-particles.hdf5", "Lumeth", "ParticleCount", H5T_NATIVE_INT,
                      &none);
    const long long steps = 2;
    rewrite_attribute(good, files / "steps.hdf5", "Lumeth", "StepCount", H5T_NATIVE_LLONG, &steps);
    {
        // The same values, chunked as before but without their checksum, as a tool that
        // rewrites datasets may store them.
        fs::copy_file(good, files / "unchecked.hdf5");
        const hid_t file = H5Fopen((files / "unchecked.hdf5").c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
        const hid_t masses = H5Dopen2(file, "PartType2/Masses", H5P_DEFAULT);
        std::vector<double> values(210);
        EXPECT_GE(H5Dread(masses, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()),
                  0);
        const hid_t space = H5Dget_space(masses);
        H5Dclose(masses);
        H5Ldelete(file, "PartType2/Masses", H5P_DEFAULT);
        const hid_t chunked = H5Pcreate(H5P_DATASET_CREATE);
        const hsize_t rows = values.size();
        H5Pset_chunk(chunked, 1, &rows);
        const hid_t plain = H5Dcreate2(file, "PartType2/Masses", H5T_IEEE_F64LE, space, H5P_DEFAULT,
                                       chunked, H5P_DEFAULT);
        H5Pclose(chunked);
        EXPECT_GE(H5Dwrite(plain, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()),
                  0);
        H5Dclose(plain);
        H5Sclose(space);
        H5Fclose(file);
    }
    {
        // A run whose 1000 steps of 1e291 Myr reached the simulated time's limit: resuming
        // would take the time past it.
        std::vector<Particle> particles(300);
        lumeth::generate_galaxy(particles.data(), 300, 7);
        lumeth::record::SnapshotInfo info;
        info.particle_count = 300;
        info.step_count = 1000;
        info.step_myr = 1e291;
        info.step_seconds = 1e291 * lumeth::kSecondsPerMegayear;
        for (int i = 0; i < 1000; ++i) {
            info.sim_time += info.step_seconds;
        }
        info.seed = 7;
        lumeth::record::FileBytes image;
        std::string error;
        ASSERT_TRUE(lumeth::record::snapshot_image(info, particles.data(), &image, &error))
            << error;
        write_bytes(files / "late.hdf5", std::string(image.data.get(), image.size));
    }

    const fs::path fifo = files / "fifo.hdf5";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, files / "fifo-link.hdf5");
    {
        // The same objects copied into a file of HDF5's earliest format, whose metadata has
        // no checksums.
        const hid_t from = H5Fopen(good.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        const hid_t to =
            H5Fcreate((files / "earliest.hdf5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        for (const char* name : {"Header", "Units", "Parameters", "PartType1", "PartType2",
                                 "PartType3", "PartType5", "Lumeth"}) {
            EXPECT_GE(H5Ocopy(from, name, to, name, H5P_DEFAULT, H5P_DEFAULT), 0) << name;
        }
        H5Fclose(to);
        H5Fclose(from);
    }
    edit_copy(good, files / "external-units.hdf5", [&](hid_t file) {
        H5Ldelete(file, "Units", H5P_DEFAULT);
        H5Lcreate_external(fifo.c_str(), "/Units", file, "Units", H5P_DEFAULT, H5P_DEFAULT);
    });
    edit_copy(good, files / "external-extra.hdf5", [&](hid_t file) {
        H5Lcreate_external(fifo.c_str(), "/Data", file, "Lumeth/More", H5P_DEFAULT, H5P_DEFAULT);
    });
    edit_copy(good, files / "soft.hdf5", [](hid_t file) {
        H5Lcreate_soft("/Header", file, "Alias", H5P_DEFAULT, H5P_DEFAULT);
    });
    edit_copy(good, files / "extra.hdf5", [](hid_t file) {
        H5Gclose(H5Gcreate2(file, "Lumeth/Notes", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    });
    write_bytes(files / "trailing.hdf5", bytes + std::string(1, '\0'));
    const int ten_million = 10000000;
    rewrite_attribute(good, files / "ten-million.hdf5", "Lumeth", "ParticleCount", H5T_NATIVE_INT,
                      &ten_million);
    const double dt = 100.0 * lumeth::kSecondsPerMegayear;
    write_snapshot_with(files / "steps-max.hdf5", 300, LLONG_MAX, dt * 1e18);
    write_snapshot_with(files / "steps-last.hdf5", 300, lumeth::record::kMaxStepCount - 1,
                        dt * 1e15);

    struct Case {
        std::string file;
        std::vector<std::string> options;
        std::string says;
    };
    const std::string g = good.string();
    const std::string bytes_count = std::to_string(bytes.size());
    const std::vector<Case> cases = {
        {(files / "missing.hdf5").string(), {}, "cannot read it: No such file or directory"},
        {files.path().string(), {}, "it is a folder"},
        {(files / "truncated.hdf5").string(), {}, "truncated: "},
        {(files / "text.hdf5").string(), {}, "not an HDF5 file"},
        {(files / "empty.hdf5").string(), {}, "not an HDF5 file: it is empty"},
        {(files / "other.hdf5").string(), {}, "not a lumeth snapshot: it has no group 'Lumeth'"},
        {(files / "flipped-data.hdf5").string(),
         {},
         "corrupted: dataset 'Lumeth/Particles' fails its checksum"},
        {(files / "flipped-header.hdf5").string(), {}, "corrupted: "},
        {(files / "counts.hdf5").string(),
         {},
         "inconsistent: the header counts 61 particles of type 3"},
        {(files / "no-particles.hdf5").string(), {}, "inconsistent: it holds 0 particles"},
        {(files / "steps.hdf5").string(), {}, "inconsistent: its time of "},
        {(files / "unchecked.hdf5").string(),
         {},
         "not a lumeth snapshot: dataset 'PartType2/Masses' is not stored as lumeth stores it"},
        {(files / "late.hdf5").string(),
         {},
         "its time of 1e+294 Myr and 2 frames of 1e+291 Myr would pass 1e294 Myr"},
        {g,
         {"--particles", "301"},
         "--particles 301 differs from '" + g + "', which holds 300 particles"},
        {g,
         {"--step-myr", "99"},
         "--step-myr 99 differs from '" + g + "', which holds a step of 100 Myr"},
        {g, {"--seed", "8"}, "--seed 8 differs from '" + g + "', which holds the galaxy of seed 7"},
        {fifo.string(), {}, "it is not a regular file"},
        {(files / "fifo-link.hdf5").string(), {}, "it is not a regular file"},
        {(files / "earliest.hdf5").string(),
         {},
         "not a lumeth snapshot: its HDF5 format (superblock version 0) has no checksums on its "
         "metadata"},
        {(files / "external-units.hdf5").string(),
         {},
         "not a lumeth snapshot: 'Units' is an external link, which lumeth-record never writes"},
        {(files / "external-extra.hdf5").string(),
         {},
         "not a lumeth snapshot: 'Lumeth/More' is an external link"},
        {(files / "soft.hdf5").string(), {}, "not a lumeth snapshot: 'Alias' is a soft link"},
        {(files / "extra.hdf5").string(),
         {},
         "not a lumeth snapshot: it holds 'Lumeth/Notes', which lumeth-record never writes"},
        {(files / "trailing.hdf5").string(),
         {},
         "inconsistent: " + std::to_string(bytes.size() + 1) +
             " bytes, of which its HDF5 superblock announces " + bytes_count},
        {(files / "ten-million.hdf5").string(),
         {},
         "inconsistent: 10000000 particles cannot fit in its "},
        {(files / "steps-max.hdf5").string(),
         {},
         "inconsistent: its step count of 9223372036854775807 is outside 0 to 1000000000000000"},
        {(files / "steps-last.hdf5").string(),
         {},
         "its step count of 999999999999999 and 2 frames would pass 1000000000000000 steps"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " " + c.says);
        Scratch scratch;
        std::vector<std::string> args = {"--frames",
                                         "2",
                                         "--resume",
                                         c.file,
                                         "--snapshot-every",
                                         "1",
                                         "--snapshot-dir",
                                         (scratch / "s").string(),
                                         "--out",
                                         (scratch / "v.mkv").string(),
                                         "--codec",
                                         "ffv1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string err;
        EXPECT_EQ(record(scratch, args, &err), 2);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        if (c.options.empty()) {
            EXPECT_EQ(err.rfind("lumeth-record: cannot resume from '" + c.file + "': " + c.says, 0),
                      0u)
                << err;
        } else {
            EXPECT_EQ(err, "lumeth-record: " + c.says + "\n");
        }
        EXPECT_TRUE(scratch.videos().empty());
    }
}

// The snapshots' own checksum is the one HDF5's Fletcher32 filter stores after a chunk: for
// chunks that HDF5 wrote through its filter, of odd and even lengths from 1 byte to past
// several of its 360-word folds and of the vector blocks, of random bytes, all 0xff (sums that
// are multiples of 65535) and all zeros.
TEST(Snapshot, ChecksumIsTheOneHdf5sFletcher32FilterStores) {
    const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_fapl_core(fapl, 1 << 20, 0);
    const hid_t file = H5Fcreate("checksums-in-memory", H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    ASSERT_GE(file, 0);
    std::mt19937 random(2026);
    int checked = 0;
    for (const hsize_t size : {1, 2, 3, 4, 63, 64, 65, 719, 720, 721, 1441, 23039, 23040, 23041,
                               23042, 46083, 100001, 524288}) {
        for (const int content : {0, 1, 2}) {
            std::vector<unsigned char> bytes(size);
            for (unsigned char& b : bytes) {
                b = content == 0 ? static_cast<unsigned char>(random()) : content == 1 ? 0xff : 0;
            }
            const std::string name = std::to_string(size) + "-" + std::to_string(content);
            SCOPED_TRACE(name + " bytes");
            const hid_t space = H5Screate_simple(1, &size, nullptr);
            const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
            H5Pset_chunk(dcpl, 1, &size);
            H5Pset_fletcher32(dcpl);
            const hid_t dataset = H5Dcreate2(file, name.c_str(), H5T_NATIVE_UCHAR, space,
                                             H5P_DEFAULT, dcpl, H5P_DEFAULT);
            ASSERT_GE(
                H5Dwrite(dataset, H5T_NATIVE_UCHAR, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()),
                0);
            H5Dclose(dataset);  // the chunk goes through the filter on its way to the file
            const hid_t stored = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
            std::vector<unsigned char> chunk(size + 4);
            const hsize_t origin = 0;
            std::uint32_t filters = 1;
            hsize_t chunk_size = 0;
            ASSERT_GE(H5Dget_chunk_storage_size(stored, &origin, &chunk_size), 0);
            ASSERT_EQ(chunk_size, chunk.size());
            ASSERT_GE(H5Dread_chunk(stored, H5P_DEFAULT, &origin, &filters, chunk.data()), 0);
            EXPECT_EQ(filters, 0u);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), chunk.begin()));
            const std::uint32_t hdf5s = chunk[size] | chunk[size + 1] << 8 | chunk[size + 2] << 16 |
                                        static_cast<std::uint32_t>(chunk[size + 3]) << 24;
            EXPECT_EQ(lumeth::record::fletcher32(bytes.data(), size), hdf5s);
            checked += 1;
            H5Dclose(stored);
            H5Pclose(dcpl);
            H5Sclose(space);
        }
    }
    EXPECT_EQ(checked, 54);
    H5Fclose(file);
    H5Pclose(fapl);
}

// Every byte of a snapshot is covered by a checksum: a flipped bit anywhere is refused.
TEST(Snapshot, AFlippedBitAnywhereIsRefused) {
    std::string bytes = snapshot_bytes(10, 3, 0, 0.0);  // every population, and the black hole
    std::string error;
    lumeth::record::Snapshot back;
    ASSERT_TRUE(lumeth::record::parse_snapshot(bytes.data(), bytes.size(), &back, &error)) << error;
    std::vector<std::size_t> accepted;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] ^= static_cast<char>(1 << (at % 8));
        if (lumeth::record::parse_snapshot(bytes.data(), bytes.size(), &back, &error)) {
            accepted.push_back(at);
        }
        bytes[at] ^= static_cast<char>(1 << (at % 8));
    }
    std::string ranges;
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        if (i == 0 || accepted[i] != accepted[i - 1] + 1) {
            ranges += " " + std::to_string(accepted[i]);
        } else if (i + 1 == accepted.size() || accepted[i + 1] != accepted[i] + 1) {
            ranges += "-" + std::to_string(accepted[i]);
        }
    }
    EXPECT_TRUE(accepted.empty()) << ranges << "\n"
                                  << accepted.size() << " of " << bytes.size()
                                  << " flipped bytes accepted, the first at " << accepted[0];
}

// A file that declares more particles than its bytes can hold is refused before the reader
// allocates for them: its largest block stays within the file's size and a fixed amount.
TEST(Snapshot, ADeclaredCountCostsNoMoreThanTheFilesSize) {
    Scratch scratch;
    write_snapshot_with(scratch / "good.hdf5", 300, 1, 100.0 * lumeth::kSecondsPerMegayear);
    for (const int declared : {301, 100000, lumeth::record::kMaxParticles}) {
        SCOPED_TRACE(declared);
        rewrite_attribute(scratch / "good.hdf5", scratch / "declared.hdf5", "Lumeth",
                          "ParticleCount", H5T_NATIVE_INT, &declared);
        const std::string bytes = read_bytes(scratch / "declared.hdf5");
        lumeth::record::Snapshot back;
        std::string error;
        allocations::largest = 0;
        allocations::counting = true;
        const bool read = lumeth::record::parse_snapshot(bytes.data(), bytes.size(), &back, &error);
        allocations::counting = false;
        EXPECT_FALSE(read);
        EXPECT_EQ(error.rfind("inconsistent: ", 0), 0u) << error;
        EXPECT_LE(allocations::largest.load(), bytes.size() + (1u << 20));
    }
}

// A failure after frames were encoded (here the snapshot folder gone mid-run) ends the run
// with status 1 and keeps those frames as a finished video: under --out where no file had
// that name, else beside it under the name the message gives, the earlier file untouched.
TEST(RecordWriteFailure, ASnapshotThatFailsKeepsTheFramesRecorded) {
    for (const bool earlier_file : {false, true}) {
        SCOPED_TRACE(earlier_file ? "beside an earlier file" : "under --out");
        Scratch scratch;
        const fs::path out = scratch / "v.mkv";
        if (earlier_file) {
            write_bytes(out, "earlier");
        }
        Recorder recorder(scratch, {"--frames", "100000", "--particles", "2000", "--snapshot-every",
                                    "1", "--snapshot-dir", (scratch / "s").string(), "--codec",
                                    "ffv1", "--out", out.string()});
        for (int i = 0; i < 600 && recorder.err().find("frames/s") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        fs::rename(scratch / "s", scratch / "moved");
        ASSERT_EQ(recorder.wait_at_most(120), 1) << recorder.err();
        const std::string err = recorder.err();
        const fs::path kept = earlier_file ? scratch / "v.stopped.mkv" : out;
        const std::string holds = "; the video '" + kept.string() + "' holds the ";
        const std::size_t at = err.find(holds);
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(
            err.rfind("lumeth-record: ", err.find(" '" + (scratch / "s").string() + "/snapshot_")),
            err.rfind('\n', err.size() - 2) + 1)
            << err;
        EXPECT_NE(err.find("': No such file or directory; the video '"), std::string::npos) << err;
        const int frames = std::stoi(err.substr(at + holds.size()));
        EXPECT_NE(err.find(" recorded before it stopped", at), std::string::npos) << err;
        const Decoded d = decode(kept);
        ASSERT_EQ(d.error, "");
        EXPECT_GE(frames, 1);
        EXPECT_EQ(d.frames, frames);
        if (earlier_file) {
            EXPECT_EQ(read_bytes(out), "earlier");
            EXPECT_NE(err.find("'" + out.string() + "' is left as it was"), std::string::npos);
        }
        // The snapshots written before stay.
        EXPECT_TRUE(fs::exists(scratch / "moved" / "snapshot_000001.hdf5"));
    }
}

// One run per snapshot folder: a second run into it is refused at once, naming the process
// that holds it; a folder with another run's snapshots is refused unless they are to be
// replaced; a resumed run continues into its own run's folder; what a killed run left is
// cleared, and a run leaves nothing but its snapshots.
TEST(RecordSnapshotFolder, RunsIntoOneFolderNeverMix) {
    Scratch scratch;
    const std::string folder = (scratch / "s").string();
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(),
                    {"--particles", "300", "--snapshot-every", "1", "--snapshot-dir", folder});
        return args;
    };
    {
        Recorder first(scratch, run({"--frames", "1000000", "--seed", "1"}));
        for (int i = 0; i < 600 && !fs::exists(scratch / "s" / "snapshot_000002.hdf5"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Scratch other;
        std::string err;
        EXPECT_EQ(record(other, run({"--frames", "3", "--seed", "2"}), &err), 2);
        EXPECT_EQ(err, "lumeth-record: cannot write snapshots to '" + folder +
                           "': another run (process " + std::to_string(first.pid()) +
                           ") is writing there\n");
        first.signal_it(SIGKILL);
        EXPECT_EQ(first.wait(), 128 + SIGKILL);
    }
    // The killed run's lock went with it; what it and earlier versions left is cleared.
    for (const char* leftover :
         {".snapshot_000009.hdf5.tmp-Ab12Cd", "snapshot_000009.hdf5.tmp-Ab12Cd",
          "snapshot_000001.hdf5.fwrite"}) {
        write_bytes(scratch / "s" / leftover, "left");
    }
    write_bytes(scratch / "s" / "notes.txt", "the user's");
    std::string err;
    EXPECT_EQ(record(scratch, run({"--frames", "3", "--seed", "2"}), &err), 2);
    EXPECT_EQ(err.rfind("lumeth-record: cannot write snapshots to '" + folder +
                            "': it holds 'snapshot_000000.hdf5' (another run's snapshot); "
                            "--replace-snapshots removes",
                        0),
              0u)
        << err;
    Recorder replacing(scratch, run({"--frames", "3", "--seed", "2", "--replace-snapshots"}));
    ASSERT_EQ(replacing.wait(), 0) << replacing.err();
    EXPECT_EQ(folder_names(folder),
              (std::vector<std::string>{"notes.txt", "snapshot_000000.hdf5", "snapshot_000001.hdf5",
                                        "snapshot_000002.hdf5", "snapshot_000003.hdf5"}));
    // The summary says how many snapshots and how long they took, and nothing else.
    const std::string out = replacing.out();
    const std::size_t summary = out.find("; 4 snapshots, written in ");
    ASSERT_NE(summary, std::string::npos) << out;
    EXPECT_EQ(out.find(" ms each (last " + folder + "/snapshot_000003.hdf5)\n", summary),
              out.size() - (" ms each (last " + folder + "/snapshot_000003.hdf5)\n").size())
        << out;

    // Resumed from its own snapshot 1, the run continues into its folder; a run of another
    // seed resumed there is refused.
    const std::string three = read_bytes(scratch / "s" / "snapshot_000003.hdf5");
    Recorder resumed(scratch, {"--frames", "3", "--resume", folder + "/snapshot_000001.hdf5",
                               "--snapshot-every", "1", "--snapshot-dir", folder});
    ASSERT_EQ(resumed.wait(), 0) << resumed.err();
    EXPECT_TRUE(read_bytes(scratch / "s" / "snapshot_000003.hdf5") == three);
    EXPECT_EQ(folder_names(folder).size(), 6u);
    Recorder new_galaxy(
        scratch, {"--frames", "1", "--particles", "300", "--seed", "3", "--snapshot-every", "1",
                  "--snapshot-dir", (scratch / "t").string()});
    ASSERT_EQ(new_galaxy.wait(), 0) << new_galaxy.err();
    EXPECT_EQ(
        record(scratch,
               {"--frames", "1", "--resume", (scratch / "t" / "snapshot_000001.hdf5").string(),
                "--snapshot-every", "1", "--snapshot-dir", folder},
               &err),
        2);
    EXPECT_NE(err.find("it holds 'snapshot_000000.hdf5' (it is a snapshot of another run (seed 2, "
                       "300 particles))"),
              std::string::npos)
        << err;
}

// A snapshot records the backend and math library that produced it. A run resumed on others
// says so in one line on standard error, as does one resumed from a file of layout 1, which
// does not record them and still resumes; on the same ones nothing is said.
TEST(RecordSnapshots, AResumeOnAnotherBackendOrMathLibrarySaysSo) {
    Scratch scratch;
    const double dt = 100.0 * lumeth::kSecondsPerMegayear;
    write_snapshot_with(scratch / "cuda.hdf5", 300, 1, dt, "CUDA", "CUDA device math");
    ASSERT_EQ(
        Recorder(scratch, {"--frames", "1", "--particles", "300", "--seed", "7", "--snapshot-every",
                           "1", "--snapshot-dir", (scratch / "here").string()})
            .wait(),
        0);
    const fs::path here = scratch / "here" / "snapshot_000001.hdf5";
    lumeth::record::Snapshot held;
    std::string error;
    ASSERT_TRUE(lumeth::record::read_snapshot(here.string(), &held, &error)) << error;
    EXPECT_EQ(held.info.backend, "CPU");
    EXPECT_EQ(held.info.math_library.rfind("glibc ", 0), 0u) << held.info.math_library;
    const int one = 1;
    rewrite_attribute(here, scratch / "layout1.hdf5", "Lumeth", "LayoutVersion", H5T_NATIVE_INT,
                      &one);
    struct Case {
        fs::path file;
        std::string note;
    };
    for (const Case& c : {Case{scratch / "cuda.hdf5",
                               "' was produced on CUDA with CUDA device math, this run "
                               "continues on CPU with glibc "},
                          Case{scratch / "layout1.hdf5",
                               "' (layout 1) does not say which backend and math "
                               "library produced it; this run continues on CPU"},
                          Case{here, ""}}) {
        SCOPED_TRACE(c.file);
        Scratch run;
        Recorder resumed(run, {"--frames", "1", "--resume", c.file.string(), "--out",
                               (run / "v.mkv").string(), "--codec", "ffv1"});
        ASSERT_EQ(resumed.wait(), 0) << resumed.err();
        const std::string err = resumed.err();
        const std::size_t note = err.find("lumeth-record: note: '" + c.file.string());
        if (c.note.empty()) {
            EXPECT_EQ(note, std::string::npos) << err;
        } else {
            ASSERT_NE(note, std::string::npos) << err;
            EXPECT_EQ(err.find(c.note, note), note + 22 + c.file.string().size()) << err;
            EXPECT_EQ(err.find("lumeth-record: note", note + 1), std::string::npos) << err;
        }
    }
}

// The snapshot's chunks are built by lumeth and handed to HDF5 as its Fletcher32 filter
// would have stored them. Pinned against HDF5's own filter path, so that an HDF5 that stores
// them otherwise fails here and not in a user's file: every chunk of every dataset, at counts
// whose chunks are odd and even in rows, whole and partial (the last one padded), equals byte
// for byte the chunk HDF5 stores when the same values go through H5Dwrite and the filter.
TEST(Snapshot, ChunksAreTheOnesHdf5sFilterStores) {
    const hid_t memory = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_fapl_core(memory, 1 << 20, 0);
    const hid_t scratch = H5Fcreate("filter-in-memory", H5F_ACC_TRUNC, H5P_DEFAULT, memory);
    ASSERT_GE(scratch, 0);
    int compared = 0, odd_rows = 0, even_rows = 0, partial = 0;
    for (const int count : {10, 3001, 100000}) {
        SCOPED_TRACE(std::to_string(count) + " particles");
        Scratch files;
        write_snapshot_with(files / "s.hdf5", count, 1, 100.0 * lumeth::kSecondsPerMegayear);
        const hid_t file = H5Fopen((files / "s.hdf5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        ASSERT_GE(file, 0);
        std::vector<std::string> names = {"Lumeth/Particles"};
        for (const char* type : {"PartType1", "PartType2", "PartType3", "PartType5"}) {
            for (const char* field :
                 {"Coordinates", "Velocities", "Acceleration", "Masses", "ParticleIDs"}) {
                names.push_back(std::string(type) + "/" + field);
            }
        }
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const hid_t ours = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
            ASSERT_GE(ours, 0);
            const hid_t type = H5Dget_type(ours);
            const hid_t space = H5Dget_space(ours);
            const hid_t dcpl = H5Dget_create_plist(ours);
            // The values as HDF5 reads them through the filter, written again through it.
            std::vector<unsigned char> values(H5Sget_simple_extent_npoints(space) *
                                              H5Tget_size(type));
            ASSERT_GE(H5Dread(ours, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
            const std::string copy = std::to_string(count) + "-" + name;
            const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
            H5Pset_create_intermediate_group(lcpl, 1);
            const hid_t theirs =
                H5Dcreate2(scratch, copy.c_str(), type, space, lcpl, dcpl, H5P_DEFAULT);
            ASSERT_GE(theirs, 0);
            ASSERT_GE(H5Dwrite(theirs, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
            H5Dflush(theirs);
            hsize_t dims[2] = {0, 0}, chunk[2] = {0, 0};
            const int rank = H5Sget_simple_extent_dims(space, dims, nullptr);
            H5Pget_chunk(dcpl, rank, chunk);
            odd_rows += chunk[0] % 2;
            even_rows += 1 - chunk[0] % 2;
            partial += dims[0] % chunk[0] != 0 && dims[0] > chunk[0];
            for (hsize_t first = 0; first < dims[0]; first += chunk[0]) {
                const hsize_t at[2] = {first, 0};
                hsize_t our_size = 0, their_size = 0;
                ASSERT_GE(H5Dget_chunk_storage_size(ours, at, &our_size), 0);
                ASSERT_GE(H5Dget_chunk_storage_size(theirs, at, &their_size), 0);
                ASSERT_EQ(our_size, their_size) << "row " << first;
                std::vector<unsigned char> a(our_size), b(their_size);
                std::uint32_t filters_a = 1, filters_b = 1;
                ASSERT_GE(H5Dread_chunk(ours, H5P_DEFAULT, at, &filters_a, a.data()), 0);
                ASSERT_GE(H5Dread_chunk(theirs, H5P_DEFAULT, at, &filters_b, b.data()), 0);
                EXPECT_EQ(filters_a, filters_b);
                EXPECT_TRUE(a == b) << "the chunk at row " << first << " of " << dims[0];
                ++compared;
            }
            H5Pclose(lcpl);
            H5Dclose(theirs);
            H5Pclose(dcpl);
            H5Sclose(space);
            H5Tclose(type);
            H5Dclose(ours);
        }
        H5Fclose(file);
    }
    // 21 datasets at each count, more than one chunk for the larger ones.
    EXPECT_GT(compared, 3 * 21);
    EXPECT_GT(odd_rows, 0);
    EXPECT_GT(even_rows, 0);
    EXPECT_GT(partial, 0);
    H5Fclose(scratch);
    H5Pclose(memory);
}

}  // namespace
