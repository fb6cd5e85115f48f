// SCANFILE.EXE, a stand-in for the film scanner's command-line program, for the
// demo and the tests. It takes the command line Skiascan builds:
//
//   SCANFILE.EXE [/HR:OFF] [/FF] /TIF /LUT:I /F:<path> [parameters...]
//
// and writes a 16-bit grayscale TIFF of a chest film (a phantom, with the film
// number burnt in) to <path>, then ends.
//
// Options of its own, as parameters or from the environment, let tests make
// it behave like a real scanner on a bad day:
//   /SIM:DELAY=<ms>     SCANFILE_DELAY_MS   wait this long before writing
//   /SIM:EXIT=<code>    SCANFILE_EXIT       end with this exit code
//   /SIM:NOFILE         SCANFILE_MODE=nofile   write nothing
//   /SIM:SMALL          SCANFILE_MODE=small    write a file under 10240 bytes
//   /SIM:RENAME         SCANFILE_MODE=rename   write a temporary name, then rename
//   /SIM:TWOSTEP        SCANFILE_MODE=twostep  write half the file, end, and write
//                                              the rest from a child process after
//                                              SCANFILE_PAUSE_MS (default 700)
//   /SIM:FEEDER=<n>     SCANFILE_FEEDER     the feeder holds n films: a call after
//                                           the nth (counted in the log) writes
//                                           nothing and ends with exit code 1
//   /SIM:SIZE=<w>x<h>   SCANFILE_SIZE       image size (default 2048x2500)
//   /SIM:LOG=<file>     SCANFILE_LOG        append each call's arguments to <file>,
//                                           one line per call, each in [brackets],
//                       SCANFILE_TAG        and this text in {braces} after them
//
//   SCANFILE.EXE --test-image <path>   writes the test image for test mode.

#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Options {
    std::string file;
    int delayMs = 0;
    int exitCode = 0;
    std::string mode; // "", "nofile", "small", "rename", "twostep"
    int pauseMs = 700;
    int feeder = -1; // films in the feeder; -1: as many as asked for
    std::string splitPath; // what followed /F:<path> when the path was split
    uint32_t width = 2048;
    uint32_t height = 2500;
    std::string log;
};

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    const std::size_t n = std::strlen(prefix);
    if (text.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

void parseSize(const std::string& text, Options& o)
{
    unsigned w = 0;
    unsigned h = 0;
    if (std::sscanf(text.c_str(), "%ux%u", &w, &h) == 2 && w > 0 && h > 0 && w <= 20000 && h <= 20000) {
        o.width = w;
        o.height = h;
    }
}

Options parse(int argc, char** argv)
{
    Options o;
    if (const char* v = std::getenv("SCANFILE_DELAY_MS"))
        o.delayMs = std::atoi(v);
    if (const char* v = std::getenv("SCANFILE_EXIT"))
        o.exitCode = std::atoi(v);
    if (const char* v = std::getenv("SCANFILE_MODE"))
        o.mode = v;
    if (const char* v = std::getenv("SCANFILE_SIZE"))
        parseSize(v, o);
    if (const char* v = std::getenv("SCANFILE_LOG"))
        o.log = v;
    if (const char* v = std::getenv("SCANFILE_PAUSE_MS"))
        o.pauseMs = std::atoi(v);
    if (const char* v = std::getenv("SCANFILE_FEEDER"))
        o.feeder = std::atoi(v);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (startsWithNoCase(a, "/F:")) {
            o.file = a.substr(3);
            // The path is one argument, blanks and all. A piece after it that is
            // no option is a path split by whoever started this program.
            if (i + 1 < argc && argv[i + 1][0] != '/')
                o.splitPath = argv[i + 1];
        } else if (startsWithNoCase(a, "/SIM:DELAY=")) {
            o.delayMs = std::atoi(a.c_str() + 11);
        } else if (startsWithNoCase(a, "/SIM:EXIT=")) {
            o.exitCode = std::atoi(a.c_str() + 10);
        } else if (startsWithNoCase(a, "/SIM:NOFILE")) {
            o.mode = "nofile";
        } else if (startsWithNoCase(a, "/SIM:SMALL")) {
            o.mode = "small";
        } else if (startsWithNoCase(a, "/SIM:RENAME")) {
            o.mode = "rename";
        } else if (startsWithNoCase(a, "/SIM:TWOSTEP")) {
            o.mode = "twostep";
        } else if (startsWithNoCase(a, "/SIM:FEEDER=")) {
            o.feeder = std::atoi(a.c_str() + 12);
        } else if (startsWithNoCase(a, "/SIM:SIZE=")) {
            parseSize(a.substr(10), o);
        } else if (startsWithNoCase(a, "/SIM:LOG=")) {
            o.log = a.substr(9);
        }
    }
    return o;
}

// 5 x 7 dot patterns of the digits, one row a byte (bit 4 is the left dot).
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

// A chest film as a film scanner sees it: 12-bit values, bright where the film
// is clear (bone, mediastinum), dark where it was exposed (lungs, air).
std::vector<uint16_t> chestPhantom(uint32_t width, uint32_t height, unsigned filmNumber)
{
    std::vector<uint16_t> pixels(std::size_t(width) * height);
    uint32_t noise = 12345u + filmNumber;
    const double cx = width / 2.0;
    for (uint32_t y = 0; y < height; ++y) {
        const double v = double(y) / height;
        for (uint32_t x = 0; x < width; ++x) {
            const double u = (x - cx) / width;
            double value = 400; // exposed film around the patient
            const double body = (u * u) / 0.16 + ((v - 0.55) * (v - 0.55)) / 0.30;
            if (body < 1.0) {
                value = 2300 - 600 * body; // soft tissue
                for (double side : {-0.17, 0.17}) {
                    const double lung = ((u - side) * (u - side)) / 0.012 + ((v - 0.45) * (v - 0.45)) / 0.07;
                    if (lung < 1.0)
                        value = 900 + 500 * lung; // air in the lungs
                }
                if (std::fabs(u) < 0.035)
                    value = 3300; // spine
                if (std::fabs(u) < 0.06 && v > 0.2 && v < 0.45)
                    value = std::max(value, 2800.0); // mediastinum
                const double heart = ((u + 0.05) * (u + 0.05)) / 0.012 + ((v - 0.58) * (v - 0.58)) / 0.012;
                if (heart < 1.0)
                    value = std::max(value, 2700.0 - 300 * heart);
                const double rib = std::sin((v + 3.0 * u * u) * 60.0);
                if (rib > 0.9 && std::fabs(u) > 0.04 && std::fabs(u) < 0.33 && v > 0.18 && v < 0.72)
                    value += 450; // ribs
            }
            if (y < height / 40 || y > height - height / 40)
                value = 3900; // collimator edges
            noise = noise * 1664525u + 1013904223u;
            value += double(noise >> 24) - 128.0;
            pixels[std::size_t(y) * width + x] = static_cast<uint16_t>(std::clamp(value, 0.0, 4095.0));
        }
    }
    // Film number, top left, as a film marker would show it.
    const std::string digits = std::to_string(filmNumber);
    const uint32_t dot = std::max<uint32_t>(2, width / 200);
    uint32_t left = width / 20;
    const uint32_t top = height / 20;
    for (char d : digits) {
        const uint8_t* glyph = kDigits[d - '0'];
        for (uint32_t row = 0; row < 7; ++row)
            for (uint32_t col = 0; col < 5; ++col)
                if (glyph[row] & (0x10 >> col))
                    for (uint32_t yy = 0; yy < dot; ++yy)
                        for (uint32_t xx = 0; xx < dot; ++xx) {
                            const uint32_t px = left + col * dot + xx;
                            const uint32_t py = top + row * dot + yy;
                            if (px < width && py < height)
                                pixels[std::size_t(py) * width + px] = 4000;
                        }
        left += 6 * dot;
    }
    return pixels;
}

bool writeTiff(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint16_t>& pixels)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    // 100 micrometre pixels, as a 254 dpi film scan.
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "SCANFILE simulator");
    bool ok = true;
    for (uint32_t y = 0; y < height && ok; ++y)
        ok = TIFFWriteScanline(tif, const_cast<uint16_t*>(&pixels[std::size_t(y) * width]), y, 0) == 1;
    TIFFClose(tif);
    return ok;
}

// A scanner that is still writing its file when its program has ended: half the
// file now, the rest from a child process after a pause.
bool writeInTwoSteps(const Options& o, const std::vector<uint16_t>& pixels)
{
    const std::string whole = o.file + ".whole";
    if (!writeTiff(whole, o.width, o.height, pixels))
        return false;
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(whole.c_str());
    const std::size_t half = bytes.size() / 2;
    {
        std::ofstream out(o.file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(half));
        if (!out)
            return false;
    }
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child > 0)
        return true;
    // The child: no part in the parent's output, so that nobody waits for it.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
    std::ofstream out(o.file, std::ios::binary | std::ios::app);
    out.write(bytes.data() + half, static_cast<std::streamsize>(bytes.size() - half));
    out.close();
    std::_Exit(out ? 0 : 3);
}

// The number of the next film, counted beside the simulator itself.
unsigned nextFilmNumber(const char* self)
{
    std::string counter = self;
    counter += ".count";
    unsigned n = 0;
    if (std::ifstream in(counter); in)
        in >> n;
    ++n;
    std::ofstream(counter) << n << '\n';
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    TIFFSetWarningHandler(nullptr);
    if (argc == 3 && std::strcmp(argv[1], "--test-image") == 0) {
        const auto pixels = chestPhantom(1024, 1250, 0);
        return writeTiff(argv[2], 1024, 1250, pixels) ? 0 : 1;
    }
    const Options o = parse(argc, argv);
    int earlierCalls = 0;
    if (!o.log.empty()) {
        std::ifstream earlier(o.log);
        for (std::string line; std::getline(earlier, line);)
            ++earlierCalls;
    }
    if (!o.log.empty()) {
        std::ofstream log(o.log, std::ios::app);
        for (int i = 1; i < argc; ++i)
            log << (i > 1 ? " [" : "[") << argv[i] << ']';
        if (const char* tag = std::getenv("SCANFILE_TAG"))
            log << " {" << tag << '}';
        log << '\n';
    }
    if (o.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
    if (o.file.empty()) {
        std::fprintf(stderr, "SCANFILE: no /F:<file> given\n");
        return o.exitCode ? o.exitCode : 2;
    }
    if (!o.splitPath.empty()) {
        std::fprintf(stderr, "SCANFILE: the path after /F: arrived split at a blank (\"%s\", then \"%s\")\n",
                     o.file.c_str(), o.splitPath.c_str());
        return 4;
    }
    if (o.mode == "nofile")
        return o.exitCode;
    if (o.feeder >= 0 && earlierCalls >= o.feeder)
        return 1; // the feeder is empty
    if (o.mode == "small") {
        std::ofstream(o.file, std::ios::binary) << std::string(4000, '\0');
        return o.exitCode;
    }
    const auto pixels = chestPhantom(o.width, o.height, nextFilmNumber(argv[0]));
    if (o.mode == "rename") {
        const std::string temporary = o.file + ".part";
        if (!writeTiff(temporary, o.width, o.height, pixels) || std::rename(temporary.c_str(), o.file.c_str()) != 0)
            return 3;
        return o.exitCode;
    }
    if (o.mode == "twostep")
        return writeInTwoSteps(o, pixels) ? o.exitCode : 3;
    return writeTiff(o.file, o.width, o.height, pixels) ? o.exitCode : 3;
}
