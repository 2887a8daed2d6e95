// imageserver-make-samples: writes a small set of sample images for the demo.
//
//   photo.jpg    640x480 JPEG, a synthetic landscape (smooth gradients, noise)
//   alpha.png    256x256 RGBA PNG, a soft-edged disc on a transparent field
//   palette.gif  200x150 GIF with a 16-colour palette
//   image.bmp    160x120 24-bit BMP
//   broken.png   text in a file named like a PNG: the service refuses it
//
// The pictures are computed, not random: every run writes the same files.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/common/image_files.h"
#include "tools/common/png_writer.h"

namespace {

const char* const kProgram = "imageserver-make-samples";

uint8_t clampByte(double value) {
  return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : std::lround(value));
}

// A small deterministic noise source (xorshift), for texture.
struct Noise {
  uint32_t state = 2463534242u;
  double next() {  // in [-1, 1)
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return (state & 0xFFFF) / 32768.0 - 1.0;
  }
};

bool makePhoto(const std::string& path) {
  const uint32_t width = 640, height = 480;
  std::vector<uint8_t> rgb(width * height * 3);
  Noise noise;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      double fx = x / double(width), fy = y / double(height);
      // Hills: a sum of sines gives the horizon line.
      double horizon = 0.62 + 0.06 * std::sin(fx * 7.0) + 0.03 * std::sin(fx * 19.0 + 1.0);
      double r, g, b;
      if (fy < horizon) {
        // Sky, lighter towards the horizon, with a sun.
        double t = fy / horizon;
        r = 70 + 150 * t;
        g = 120 + 110 * t;
        b = 220 + 30 * t;
        double dx = fx - 0.75, dy = fy - 0.22;
        double sun = std::exp(-(dx * dx + dy * dy) * 180.0);
        r += 200 * sun;
        g += 170 * sun;
        b += 60 * sun;
      } else {
        // Grass, darker towards the viewer, with texture.
        double t = (fy - horizon) / (1.0 - horizon);
        double texture = 18 * noise.next();
        r = 60 - 30 * t + texture;
        g = 150 - 60 * t + texture;
        b = 50 - 20 * t + texture * 0.5;
      }
      uint8_t* pixel = &rgb[(y * width + x) * 3];
      pixel[0] = clampByte(r);
      pixel[1] = clampByte(g);
      pixel[2] = clampByte(b);
    }
  }
  imagefiles::JpegOptions options;
  options.quality = 88;
  return imagefiles::writeJpeg(path, width, height, rgb.data(), options);
}

bool makeAlphaPng(const std::string& path) {
  const uint32_t size = 256;
  std::vector<uint8_t> rgba(size * size * 4);
  for (uint32_t y = 0; y < size; ++y) {
    for (uint32_t x = 0; x < size; ++x) {
      double dx = x - 127.5, dy = y - 127.5;
      double distance = std::sqrt(dx * dx + dy * dy);
      uint8_t* pixel = &rgba[(y * size + x) * 4];
      pixel[0] = clampByte(255 * x / double(size));
      pixel[1] = clampByte(80 + 100 * y / double(size));
      pixel[2] = clampByte(255 - 255 * x / double(size));
      // Opaque inside radius 90, fading to transparent at radius 120.
      pixel[3] = clampByte(255 * (120 - distance) / 30.0);
    }
  }
  std::string error;
  if (!tools::writePng(path, size, size, 4, rgba.data(), error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return false;
  }
  return true;
}

bool makeGif(const std::string& path) {
  const uint32_t width = 200, height = 150, colours = 16;
  imagefiles::GifOptions options;
  for (uint32_t i = 0; i < colours; ++i) {  // a rainbow of 16 entries
    double hue = i / double(colours) * 6.283185307;
    options.globalPalette.push_back({clampByte(127.5 + 127.5 * std::cos(hue)),
                                     clampByte(127.5 + 127.5 * std::cos(hue - 2.094)),
                                     clampByte(127.5 + 127.5 * std::cos(hue + 2.094))});
  }
  std::vector<uint8_t> indices(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) indices[y * width + x] = uint8_t(((x + y) / 12) % colours);
  return imagefiles::writeGif(path, width, height, indices.data(), options);
}

// A 24-bit BMP: a checkerboard over two gradients.
bool makeBmp(const std::string& path) {
  const uint32_t width = 160, height = 120;
  std::vector<uint8_t> rgba(size_t{width} * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      bool check = ((x / 20) + (y / 20)) % 2 == 0;
      uint8_t* pixel = &rgba[(y * width + x) * 4];
      pixel[0] = check ? clampByte(x * 1.5) : 40;   // red
      pixel[1] = check ? 60 : 180;                  // green
      pixel[2] = check ? 200 : clampByte(y * 2.0);  // blue
      pixel[3] = 255;
    }
  }
  return imagefiles::writeBmp(path, width, height, rgba.data());
}

bool makeBroken(const std::string& path) {
  return imagefiles::writeFile(path, "This file is named like a PNG image but holds plain text.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "Usage: %s DIR\nWrites photo.jpg, alpha.png, palette.gif, image.bmp and "
                 "broken.png into DIR (created if missing).\n",
                 kProgram);
    return argc == 2 ? 0 : 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, dir.c_str(), error.message().c_str());
    return 1;
  }
  struct Sample {
    const char* name;
    bool (*make)(const std::string&);
  };
  const Sample samples[] = {{"photo.jpg", makePhoto},
                            {"alpha.png", makeAlphaPng},
                            {"palette.gif", makeGif},
                            {"image.bmp", makeBmp},
                            {"broken.png", makeBroken}};
  for (const Sample& sample : samples) {
    std::string path = (dir / sample.name).string();
    if (!sample.make(path)) {
      std::fprintf(stderr, "%s: cannot write %s\n", kProgram, path.c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
  }
  return 0;
}
