// mksamples: writes deterministic sample files for the examples and the benchmarks.
//   mksamples example DIR          DIR/a.bin and DIR/b.bin, eight values each
//   mksamples random FILE COUNT SEED     COUNT pseudo-random values in [-4, 4)
//   mksamples positive FILE COUNT SEED   the same in [0, 4), as in images
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static bool write_file(const std::string &path, const std::vector<float> &v) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    return false;
  }
  const bool ok = fwrite(v.data(), 4, v.size(), f) == v.size();
  if (fclose(f) != 0 || !ok) {
    perror(path.c_str());
    return false;
  }
  return true;
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "example") == 0) {
    const std::string dir = argv[2];
    return write_file(dir + "/a.bin", {1, 2, 3, 4, -5, 6, 7, 8}) &&
                   write_file(dir + "/b.bin", {4, 9, 16, 25, 36, -49, 64, 0})
               ? 0 : 1;
  }
  const bool positive = argc == 5 && strcmp(argv[1], "positive") == 0;
  if (argc == 5 && (positive || strcmp(argv[1], "random") == 0)) {
    const int64_t count = strtoll(argv[3], nullptr, 10);
    uint64_t state = strtoull(argv[4], nullptr, 10) * 0x9E3779B97F4A7C15u + 1;
    std::vector<float> v(count > 0 ? count : 0);
    for (float &x : v) {  // xorshift64*, top 24 bits as a fraction of 8
      state ^= state >> 12, state ^= state << 25, state ^= state >> 27;
      x = static_cast<float>((state * 0x2545F4914F6CDD1Du) >> 40) / (1 << 21) - 4.0f;
      if (positive) x = x < 0 ? -x : x;
    }
    return write_file(argv[2], v) ? 0 : 1;
  }
  fprintf(stderr, "usage: mksamples example DIR | mksamples random|positive FILE COUNT SEED\n");
  return 2;
}
