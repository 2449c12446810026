// make-samples DIR [--count N] [--seed S] [--scale K]: writes a deterministic tree of sample
// model files ("models - X/NNNN.raw") into DIR, for the demo and the extraction benchmark.
//
// Most files are procedural meshes (spheres, tori, height-field grids) stored as a small header,
// a vertex array of floats (position, normal, texture coordinates) and a triangle index array of
// 16- or 32-bit integers, so that they compress the way real models do. Some carry a flat-shaded
// indexed bitmap (long runs of one byte) and some an already compressed payload (random bytes
// that no method can shrink), so that a packer choosing the smallest storage uses every method.
// The numbering has gaps and some files are empty.
//
// The same seed, count and scale always give the same bytes: the generator has its own random
// number generator and rounds every coordinate to a multiple of 1/1024, which also makes the
// values look like those of modelled data.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <numeric>
#include <string>
#include <system_error>
#include <vector>

#include "archive/categories.h"
#include "archive/format.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: make-samples DIR [--count N] [--seed S] [--scale K]";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "make-samples: %s\n", message.c_str());
  std::exit(2);
}

// SplitMix64: small, fast, and the same on every platform (unlike the standard distributions).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  // Log-uniform in [lo, hi]: as many small files as large ones per doubling of size.
  double logUniform(double lo, double hi) { return lo * std::pow(hi / lo, uniform()); }

 private:
  uint64_t state_;
};

// Coordinates on a 1/1024 grid, as modelling tools snap them.
float snap(double v) { return static_cast<float>(std::round(v * 1024.0) / 1024.0); }

struct Vertex {
  float px, py, pz, nx, ny, nz, u, v;
};

struct Mesh {
  std::vector<Vertex> vertices;
  std::vector<uint32_t> indices;  // triangles
};

Vertex makeVertex(double px, double py, double pz, double nx, double ny, double nz, double u,
                  double v) {
  const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
  if (length > 0) nx /= length, ny /= length, nz /= length;
  return {snap(px), snap(py), snap(pz), snap(nx), snap(ny), snap(nz), snap(u), snap(v)};
}

// Two triangles per cell of a (rows + 1) x (columns + 1) vertex lattice, row by row.
void addLatticeIndices(Mesh& mesh, uint32_t rows, uint32_t columns) {
  const uint32_t stride = columns + 1;
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < columns; ++c) {
      const uint32_t a = r * stride + c, b = a + 1, d = a + stride, e = d + 1;
      mesh.indices.insert(mesh.indices.end(), {a, d, b, b, d, e});
    }
  }
}

// A lattice of about `vertices` points with columns ~ `aspect` times rows.
void latticeShape(double vertices, double aspect, uint32_t& rows, uint32_t& columns) {
  rows = std::max<uint32_t>(2, static_cast<uint32_t>(std::sqrt(vertices / aspect)) - 1);
  columns = std::max<uint32_t>(3, static_cast<uint32_t>(vertices / (rows + 1)) - 1);
}

// A UV sphere with a seeded radius and a gentle seeded bulge, so no two are alike.
Mesh sphere(Random& random, double vertices) {
  Mesh mesh;
  uint32_t rings, segments;
  latticeShape(vertices, 2.0, rings, segments);
  const double radius = random.between(0.5, 4.0);
  const double bulge = random.between(0.0, 0.2);
  const int lobes = 2 + static_cast<int>(random.below(5));
  for (uint32_t r = 0; r <= rings; ++r) {
    const double theta = std::numbers::pi * r / rings;
    for (uint32_t s = 0; s <= segments; ++s) {
      const double phi = 2 * std::numbers::pi * s / segments;
      const double nx = std::sin(theta) * std::cos(phi), ny = std::cos(theta);
      const double nz = std::sin(theta) * std::sin(phi);
      const double k = radius * (1 + bulge * std::sin(lobes * phi) * std::sin(theta));
      mesh.vertices.push_back(
          makeVertex(k * nx, k * ny, k * nz, nx, ny, nz, double(s) / segments, double(r) / rings));
    }
  }
  addLatticeIndices(mesh, rings, segments);
  return mesh;
}

Mesh torus(Random& random, double vertices) {
  Mesh mesh;
  uint32_t minor, major;
  latticeShape(vertices, 3.0, minor, major);
  const double bigRadius = random.between(1.0, 6.0);
  const double smallRadius = bigRadius * random.between(0.1, 0.45);
  for (uint32_t i = 0; i <= major; ++i) {
    const double a = 2 * std::numbers::pi * i / major;
    for (uint32_t j = 0; j <= minor; ++j) {
      const double b = 2 * std::numbers::pi * j / minor;
      const double nx = std::cos(b) * std::cos(a), ny = std::sin(b);
      const double nz = std::cos(b) * std::sin(a);
      const double ring = bigRadius + smallRadius * std::cos(b);
      mesh.vertices.push_back(makeVertex(ring * std::cos(a), smallRadius * ny, ring * std::sin(a),
                                         nx, ny, nz, double(i) / major, double(j) / minor));
    }
  }
  addLatticeIndices(mesh, major, minor);
  return mesh;
}

// A terrain patch: a sum of seeded waves plus a little noise, with normals from the slopes.
Mesh grid(Random& random, double vertices) {
  Mesh mesh;
  uint32_t rows, columns;
  latticeShape(vertices, 1.0, rows, columns);
  const double size = random.between(4.0, 64.0);
  double amplitude[3], frequency[3], phase[3];
  for (int w = 0; w < 3; ++w) {
    amplitude[w] = random.between(0.0, size / 16);
    frequency[w] = random.between(0.5, 6.0) * 2 * std::numbers::pi / size;
    phase[w] = random.between(0.0, 2 * std::numbers::pi);
  }
  const double noise = random.between(0.0, 0.05);
  const auto height = [&](double x, double z) {
    double h = 0;
    for (int w = 0; w < 3; ++w)
      h += amplitude[w] * std::sin(frequency[w] * (x + 0.7 * z) + phase[w]);
    return h;
  };
  const double dx = size / columns, dz = size / rows;
  for (uint32_t r = 0; r <= rows; ++r) {
    for (uint32_t c = 0; c <= columns; ++c) {
      const double x = c * dx - size / 2, z = r * dz - size / 2;
      const double y = height(x, z) + random.between(-noise, noise);
      const double sx = (height(x + dx, z) - height(x - dx, z)) / (2 * dx);
      const double sz = (height(x, z + dz) - height(x, z - dz)) / (2 * dz);
      mesh.vertices.push_back(
          makeVertex(x, y, z, -sx, 1.0, -sz, double(c) / columns, double(r) / rows));
    }
  }
  addLatticeIndices(mesh, rows, columns);
  return mesh;
}

// Little-endian writing into a growing byte buffer.
void put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void putFloat(std::vector<uint8_t>& out, float value) {
  uint32_t bits;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  put32(out, bits);
}
void align16(std::vector<uint8_t>& out) { out.resize((out.size() + 15) & ~size_t{15}, 0); }

enum class Kind : uint32_t { Sphere = 1, Torus = 2, Grid = 3, Decal = 4, Packed = 5 };

// The file: a 32-byte header (kind, vertex count, index count, index size, the offsets of the
// vertex and index arrays and of the extra block, the extra block's size), then the arrays and
// the block, each starting on a 16-byte boundary. Indices are 16-bit unless `wide` is set or
// there are more vertices than 16 bits can number.
std::vector<uint8_t> modelFile(Kind kind, const Mesh& mesh, const std::vector<uint8_t>& extra,
                               bool wide) {
  const uint32_t indexSize = wide || mesh.vertices.size() > 0xFFFF ? 4 : 2;
  std::vector<uint8_t> body;
  body.resize(32);
  const auto vertexOffset = static_cast<uint32_t>(body.size());
  for (const Vertex& v : mesh.vertices) {
    for (float f : {v.px, v.py, v.pz, v.nx, v.ny, v.nz, v.u, v.v}) putFloat(body, f);
  }
  align16(body);
  const auto indexOffset = static_cast<uint32_t>(body.size());
  for (uint32_t i : mesh.indices) {
    body.push_back(static_cast<uint8_t>(i));
    body.push_back(static_cast<uint8_t>(i >> 8));
    if (indexSize == 4) {
      body.push_back(static_cast<uint8_t>(i >> 16));
      body.push_back(static_cast<uint8_t>(i >> 24));
    }
  }
  align16(body);
  const auto extraOffset = static_cast<uint32_t>(body.size());
  body.insert(body.end(), extra.begin(), extra.end());
  align16(body);

  std::vector<uint8_t> header;
  for (uint32_t word : {static_cast<uint32_t>(kind), static_cast<uint32_t>(mesh.vertices.size()),
                        static_cast<uint32_t>(mesh.indices.size()), indexSize, vertexOffset,
                        indexOffset, extraOffset, static_cast<uint32_t>(extra.size())}) {
    put32(header, word);
  }
  std::copy(header.begin(), header.end(), body.begin());
  return body;
}

// A 256-colour palette and an 8-bit image of flat-shaded rectangles and discs on a plain
// background: long runs of one byte, the kind of data run-length coding suits best.
std::vector<uint8_t> decal(Random& random, double bytes) {
  const auto width = static_cast<uint32_t>(std::clamp(std::sqrt(bytes) * 2, 16.0, 4096.0));
  const auto height = std::max<uint32_t>(8, static_cast<uint32_t>(bytes / width));
  std::vector<uint8_t> out;
  for (int c = 0; c < 256; ++c) put32(out, static_cast<uint32_t>(random.next()) | 0xFF000000U);
  std::vector<uint8_t> pixels(size_t{width} * height, 0);
  const int shapes = 4 + static_cast<int>(random.below(12));
  for (int s = 0; s < shapes; ++s) {
    const auto colour = static_cast<uint8_t>(1 + random.below(255));
    const double cx = random.uniform() * width, cy = random.uniform() * height;
    const double rx = random.between(0.05, 0.4) * width, ry = random.between(0.05, 0.4) * height;
    const bool disc = random.below(2) == 0;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        const double ux = (x - cx) / rx, uy = (y - cy) / ry;
        const bool inside = disc ? ux * ux + uy * uy <= 1 : std::abs(ux) <= 1 && std::abs(uy) <= 1;
        if (inside) pixels[size_t{y} * width + x] = colour;
      }
    }
  }
  put32(out, width);
  put32(out, height);
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

std::vector<uint8_t> randomBytes(Random& random, double bytes) {
  std::vector<uint8_t> out(static_cast<size_t>(bytes));
  for (size_t i = 0; i < out.size(); i += 8) {
    const uint64_t r = random.next();
    for (size_t j = 0; j < 8 && i + j < out.size(); ++j)
      out[i + j] = static_cast<uint8_t>(r >> (8 * j));
  }
  return out;
}

// The kinds in a fixed cycle, so that even a handful of files has some of each: mostly meshes,
// some bitmaps, some incompressible payloads.
constexpr Kind kKindCycle[] = {Kind::Sphere, Kind::Grid,   Kind::Torus,  Kind::Packed, Kind::Sphere,
                               Kind::Decal,  Kind::Grid,   Kind::Torus,  Kind::Sphere, Kind::Grid,
                               Kind::Packed, Kind::Torus,  Kind::Decal,  Kind::Sphere, Kind::Grid,
                               Kind::Torus,  Kind::Sphere, Kind::Packed, Kind::Grid,   Kind::Decal};

// File `k` of a run. Meshes have 64 to 8192 vertices (times the scale), about 3 KiB to 450 KiB;
// bitmaps and payloads 4 KiB to 256 KiB (times the scale).
std::vector<uint8_t> sampleFile(uint64_t seed, uint64_t k, double scale) {
  Random random(seed * 0x100000001B3ULL + k);
  const Kind kind = kKindCycle[k % std::size(kKindCycle)];
  const bool wide = random.below(4) == 0;  // a quarter of the models use 32-bit indices
  const double vertices = random.logUniform(64, 8192) * scale;
  const double bytes = random.logUniform(4096, 262144) * scale;
  switch (kind) {
    case Kind::Sphere: return modelFile(kind, sphere(random, vertices), {}, wide);
    case Kind::Torus: return modelFile(kind, torus(random, vertices), {}, wide);
    case Kind::Grid: return modelFile(kind, grid(random, vertices), {}, wide);
    // A small mesh to carry the bitmap or the payload.
    case Kind::Decal: return modelFile(kind, grid(random, 16), decal(random, bytes), wide);
    case Kind::Packed: return modelFile(kind, grid(random, 16), randomBytes(random, bytes), wide);
  }
  return {};
}

// Relative weights of the categories when files are spread over them.
constexpr uint32_t kCategoryWeights[] = {20, 12, 6, 10, 10, 5, 8, 10, 5, 8, 6};
static_assert(std::size(kCategoryWeights) == std::size(kModelCategories));

uint64_t parseNumber(const std::string& text, const char* what) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0')
    fail(std::string("bad ") + what + " '" + text + "'");
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const ProgramArguments arguments(argc, argv);
  std::string dir;
  uint64_t count = 20, seed = 1;
  double scale = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--count" && hasValue) {
      count = parseNumber(argv[++i], "count");
    } else if (arg == "--seed" && hasValue) {
      seed = parseNumber(argv[++i], "seed");
    } else if (arg == "--scale" && hasValue) {
      char* end = nullptr;
      scale = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(scale > 0 && scale <= 64)) fail("bad scale (0 to 64)");
    } else if (arg.rfind("--", 0) == 0 || !dir.empty()) {
      fail(kUsage);
    } else {
      dir = arg;
    }
  }
  if (dir.empty()) fail(kUsage);

  Random spread(seed);
  int32_t next[std::size(kModelCategories)] = {};
  uint64_t totalBytes = 0;
  for (uint64_t k = 0; k < count; ++k) {
    // A weighted pick of the category; a full one passes the file on to the next.
    uint32_t pick =
        spread.below(std::accumulate(std::begin(kCategoryWeights), std::end(kCategoryWeights), 0U));
    size_t c = 0;
    while (pick >= kCategoryWeights[c]) pick -= kCategoryWeights[c++];
    // Every seventh file leaves a gap of one to three numbers before it.
    const int32_t gap = k % 7 == 3 ? 1 + static_cast<int32_t>(spread.below(3)) : 0;
    size_t tried = 0;
    while (next[c] + gap >= kEntriesPerCategory) {
      c = (c + 1) % std::size(kModelCategories);
      if (++tried == std::size(kModelCategories)) fail("too many files for the eleven folders");
    }
    const int32_t entry = next[c] + gap;
    next[c] = entry + 1;

    const fs::path folder = fs::path(dir) / kModelCategories[c].folder;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) fail("cannot create " + folder.string() + ": " + error.message());
    char name[16];
    std::snprintf(name, sizeof name, "%04d.raw", static_cast<int>(entry));
    // The sixth file, and one in every 2000 after it, is empty.
    const std::vector<uint8_t> bytes =
        k % 2000 == 5 ? std::vector<uint8_t>{} : sampleFile(seed, k, scale);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) fail("cannot write " + (folder / name).string());
    totalBytes += bytes.size();
  }
  std::printf("make-samples: %llu files, %llu bytes in %s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(totalBytes),
              dir.c_str());
  return 0;
}
