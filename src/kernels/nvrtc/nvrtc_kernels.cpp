// Compiles the kernels' source with NVRTC, at build time, into the images the driver API path
// carries beside the nvcc fat binary: a cubin per listed architecture and PTX for one.
//   lumeth-nvrtc-kernels <kernels.cu> <include folder> <output folder> <entry>...
// An entry "sm_N" writes <output folder>/sm_N.cubin, "compute_N" writes compute_N.ptx. The
// arithmetic rules are those of the nvcc build: no contraction (--fmad=false; the fused
// multiply-adds are written out), IEEE division and square root. Each file is written beside
// its final name and renamed when complete. Exits non-zero with the compiler's log on failure.
#include <nvrtc.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool read_file(const std::string& path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return static_cast<bool>(file);
}

bool write_file(const std::string& path, const std::string& bytes) {
    const std::string partial = path + ".partial";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) {
            return false;
        }
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

bool check(nvrtcResult status, const char* call) {
    if (status != NVRTC_SUCCESS) {
        std::cerr << "lumeth-nvrtc-kernels: " << call << ": " << nvrtcGetErrorString(status)
                  << "\n";
        return false;
    }
    return true;
}

// The image of one entry ("sm_N": a cubin; "compute_N": PTX), or false with the log printed.
bool compile(const std::string& source, const std::string& source_name,
             const std::string& include_folder, const std::string& entry, std::string* image) {
    const bool ptx = entry.rfind("compute_", 0) == 0;
    nvrtcProgram program = nullptr;
    if (!check(
            nvrtcCreateProgram(&program, source.c_str(), source_name.c_str(), 0, nullptr, nullptr),
            "nvrtcCreateProgram")) {
        return false;
    }
    const std::string architecture = "--gpu-architecture=" + entry;
    const std::string include = "--include-path=" + include_folder;
    const char* options[] = {architecture.c_str(), include.c_str(),   "--std=c++17",
                             "--fmad=false",       "--prec-div=true", "--prec-sqrt=true",
                             "--ftz=false"};
    const nvrtcResult compiled =
        nvrtcCompileProgram(program, static_cast<int>(sizeof options / sizeof options[0]), options);
    std::size_t log_size = 0;
    nvrtcGetProgramLogSize(program, &log_size);
    std::string log(log_size, '\0');
    nvrtcGetProgramLog(program, log.data());
    bool ok = check(compiled, ("compiling " + entry).c_str());
    if (!ok) {
        std::cerr << log << "\n";
    } else {
        std::size_t size = 0;
        if (ptx) {
            ok = check(nvrtcGetPTXSize(program, &size), "nvrtcGetPTXSize");
            image->assign(size, '\0');  // the terminating zero included: the driver wants it
            ok = ok && check(nvrtcGetPTX(program, image->data()), "nvrtcGetPTX");
        } else {
            ok = check(nvrtcGetCUBINSize(program, &size), "nvrtcGetCUBINSize");
            image->assign(size, '\0');
            ok = ok && check(nvrtcGetCUBIN(program, image->data()), "nvrtcGetCUBIN");
        }
    }
    nvrtcDestroyProgram(&program);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: lumeth-nvrtc-kernels <kernels.cu> <include folder> <output folder> "
                     "sm_N|compute_N...\n";
        return 2;
    }
    const std::string source_name = argv[1];
    std::string source;
    if (!read_file(source_name, &source)) {
        std::cerr << "lumeth-nvrtc-kernels: cannot read " << source_name << "\n";
        return 1;
    }
    for (int k = 4; k < argc; ++k) {
        const std::string entry = argv[k];
        const bool ptx = entry.rfind("compute_", 0) == 0;
        if (!ptx && entry.rfind("sm_", 0) != 0) {
            std::cerr << "lumeth-nvrtc-kernels: " << entry << " is neither sm_N nor compute_N\n";
            return 2;
        }
        std::string image;
        if (!compile(source, source_name, argv[2], entry, &image)) {
            return 1;
        }
        const std::string path = std::string(argv[3]) + "/" + entry + (ptx ? ".ptx" : ".cubin");
        if (!write_file(path, image)) {
            std::cerr << "lumeth-nvrtc-kernels: cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
