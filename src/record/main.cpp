// lumeth-record: the galaxy simulation recorded as a video, without a window.
#include "record/options.h"
#include "record/recorder.h"

int main(int argc, char** argv) {
    lumeth::record::RecordOptions options;
    const int status = lumeth::record::parse_options(argc, argv, &options);
    if (status >= 0) {
        return status;
    }
    return lumeth::record::run_recording(options);
}
