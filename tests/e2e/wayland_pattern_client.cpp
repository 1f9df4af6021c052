// The Wayland round trip's screen oracle, for shell scripts:
//   wayland_pattern_client show          full-screen pattern window on $WAYLAND_DISPLAY;
//                                        prints "ready", stays until a signal ends it
//   wayland_pattern_client psnr FILE.jpg the JPEG against the pattern scaled to its
//                                        size: prints "psnr=<dB>"; status 1 when unreadable
#include <turbojpeg.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/wayland_pattern_window.h"

namespace {

constexpr int kOutW = 1280, kOutH = 800;  // the private sway's output

// Pixels whose source area straddles two blocks are a blend and left out;
// 0 when fewer than half of them could be compared.
double psnrAgainstPattern(const std::vector<unsigned char>& rgbx, int width, int height) {
  double sx = double(kOutW) / width, sy = double(kOutH) / height, error = 0;
  long samples = 0;
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      int x0 = int(u * sx), x1 = int(std::ceil((u + 1) * sx)) - 1, y0 = int(v * sy), y1 = int(std::ceil((v + 1) * sy)) - 1;
      if (x0 / tillerpad::test::kBlock != x1 / tillerpad::test::kBlock ||
          y0 / tillerpad::test::kBlock != y1 / tillerpad::test::kBlock) {
        continue;
      }
      std::uint32_t rgb = tillerpad::test::patternColor(x0, y0);
      const unsigned char* p = &rgbx[(std::size_t(v) * width + u) * 4];
      for (int c = 0; c < 3; ++c, ++samples) {
        double d = double(p[c]) - double((rgb >> (8 * (2 - c))) & 0xff);
        error += d * d;
      }
    }
  }
  if (samples < long(width) * height * 3 / 2) return 0;
  return error == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(samples) / error);
}

int psnr(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> jpeg{std::istreambuf_iterator<char>(in), {}};
  tjhandle h = tjInitDecompress();
  int w = 0, ht = 0, subsampling = 0, colorspace = 0;
  std::vector<unsigned char> pixels;
  bool ok = !jpeg.empty() && tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &ht, &subsampling, &colorspace) == 0;
  if (ok) {
    pixels.resize(std::size_t(w) * ht * 4);
    ok = tjDecompress2(h, jpeg.data(), jpeg.size(), pixels.data(), w, w * 4, ht, TJPF_RGBX, 0) == 0;
  }
  tjDestroy(h);
  if (!ok) {
    std::fprintf(stderr, "wayland_pattern_client: %s is no readable JPEG\n", path);
    return 1;
  }
  std::printf("psnr=%.1f\n", psnrAgainstPattern(pixels, w, ht));
  return 0;
}

int show() {
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  tillerpad::test::PatternWindow window(socket ? socket : "");
  if (!window.shown()) {
    std::fprintf(stderr, "wayland_pattern_client: no window on %s\n", socket ? socket : "(no WAYLAND_DISPLAY)");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  // Nothing to answer: the pattern never changes, and sway does not ping.
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "show" && argc == 2) return show();
  if (mode == "psnr" && argc == 3) return psnr(argv[2]);
  std::fprintf(stderr, "usage: wayland_pattern_client show | psnr FILE.jpg\n");
  return 2;
}
